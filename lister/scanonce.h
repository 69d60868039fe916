#pragma once

#include "lister/networkchoice.h"
#include "scan/hostrecord.h"

#include <cstdio>
#include <vector>

namespace lister {

enum class ScanOutcome
{
    Done,
    Failed,
    Stopped,   // a stop signal came and the scans finished in time
    Abandoned, // a stop signal came and a scan is still running
};

// One scan of each network with the window's engine: those the scan's rules
// let run together (ScanBatches) at the same time, each by its own
// coordinator, then the next ones. hosts gets one map per network, in their
// order. The status lines show on progress (a terminal, or nullptr for
// none) while they run. A stop signal lets them start no more probes and
// gives those running a moment to end.
ScanOutcome ScanNetworks(const std::vector<NetworkChoice> &networks, std::FILE *progress,
                         std::vector<HostMap> &hosts);

} // namespace lister
