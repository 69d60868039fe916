#pragma once

#include "network/ipv4network.h"
#include "scan/scansession.h"

#include <cstdio>
#include <vector>

namespace lister {

using ScanOutcome = ScanSession::Outcome;

// One scan of each network by the engine's scan session (ScanSession: the
// networks its rules let run together at the same time, then the next
// ones). found gets each network as its scan began, gateway included, with
// its answers, in their order. The status lines show on progress (a
// terminal, or nullptr for none) while they run. A stop signal lets them
// start no more probes and gives those running a moment to end.
ScanOutcome ScanNetworks(const std::vector<Ipv4Network> &networks, std::FILE *progress,
                         std::vector<ScannedNetwork> &found);

// Shows session's status lines on progress (a terminal, or nullptr), and
// stops it on a stop signal (StopRequested), which the lister checks every
// StopCheckMs.
void FollowSession(ScanSession &session, std::FILE *progress);
constexpr int StopCheckMs = 100;

} // namespace lister
