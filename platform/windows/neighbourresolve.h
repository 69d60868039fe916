#pragma once

// SendARP's contract through the stack's neighbour table, where SendARP
// itself cannot answer (Wine's is a stub).

#include <QtGlobal>

#include <chrono>

namespace platform::winarp {

// How long a resolution waits for the stack's answer: a little past its
// second request, a second after the first, so that a host that misses one
// is still found.
constexpr std::chrono::milliseconds kAnswerWait{1200};

// The interface whose network holds destIp (and srcIp, when it is not 0) is
// the one whose rows count; a datagram to destIp makes the stack resolve it;
// the answer is the first read that gives its hardware address, or none
// after kAnswerWait. The machine's own address answers with its own hardware
// address. Returns what SendARP returns in the same cases.
quint32 NeighbourResolve(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen);

} // namespace platform::winarp
