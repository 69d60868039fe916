#pragma once

#include "lister/networkchoice.h"
#include "scan/hostrecord.h"

#include <cstdio>

namespace lister {

enum class ScanOutcome
{
    Done,
    Failed,
    Stopped,   // a stop signal came and the scan finished in time
    Abandoned, // a stop signal came and the scan is still running
};

// One scan of network with the window's engine, its status lines shown on
// progress (a terminal, or nullptr for none) while it runs. A stop signal
// lets it start no more probes and gives those running a moment to end.
ScanOutcome ScanOnce(const NetworkChoice &network, std::FILE *progress, HostMap &hosts);

} // namespace lister
