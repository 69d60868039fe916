#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>

// Resolving one IPv4 address to its hardware address, with the contract of
// the Windows IP Helper function SendARP:
//
//   destIp       the address to resolve, in network byte order;
//   srcIp        0: the platform picks the interface;
//   macAddr      a buffer of *physAddrLen bytes;
//   physAddrLen  in: the buffer's size; out: the number of bytes written.
//
// Blocks until the address answers or the platform gives up (about a second).
// Returns 0 on an answer with *physAddrLen set to the hardware address'
// length; otherwise a non-zero error, or 0 with a length of 0.
//
// On Windows this is SendARP itself. On Linux the address is resolved on the
// directly attached network that holds it, the fastest way the process may
// use: ARP requests of its own where it may open a packet socket (root);
// otherwise the same requests sent by the resolver helper, when the genuine
// one is installed where the program expects it and holds CAP_NET_RAW;
// otherwise the kernel's neighbour table. The machine's own address answers with its own hardware
// address. An address on no directly attached network never answers.
namespace platform {

using SendArpFunction = quint32 (*)(quint32 destIp, quint32 srcIp, void *macAddr,
                                    quint32 *physAddrLen);

quint32 SendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen);

// Replaces the resolution for every later call (tests put a fake here before
// any scan starts); nullptr restores the platform's own. Returns the previous.
SendArpFunction SetSendArpFunction(SendArpFunction function);

// Installs a flag for the calling thread's later calls (nullptr removes it):
// once it is set, a call that has not started gives up at once, and on Linux
// one that is waiting gives up within a tenth of a second (on Windows, one
// waiting on the neighbour table within a read of it), both with no answer.
// The flag must outlive the calls.
void SetStopFlag(const std::atomic<bool> *flag);
bool StopRequested();
// The calling thread's flag, or nullptr: for a resolution that another
// thread watches while this one waits.
const std::atomic<bool> *StopFlag();

// The platform's own resolution, whatever SetSendArpFunction installed.
quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen);

// Whether a second card answered for destIp since `since`, besides `mac`
// (the six bytes SendARP gave): two cards claiming one address. SendARP
// answers with the first card that answered; the paths that see every reply
// (ARP requests of the process's own, the resolver helper's) remember one
// other card per address, answering right after the first, for a couple of
// minutes, and *other (six bytes) gets it. The kernel's neighbour table and Windows keep one answer
// per address: there, and wherever no second card answered, false. Never waits.
using OtherCardFunction = bool (*)(quint32 destIp, const unsigned char *mac,
                                   std::chrono::steady_clock::time_point since,
                                   unsigned char *other);

bool OtherCard(quint32 destIp, const unsigned char *mac,
               std::chrono::steady_clock::time_point since, unsigned char *other);

// Replaces OtherCard's answers for every later call, as SetSendArpFunction
// does SendARP's; nullptr restores the platform's own. Returns the previous.
OtherCardFunction SetOtherCardFunction(OtherCardFunction function);

// The platform's own answer, whatever SetOtherCardFunction installed.
bool SystemOtherCard(quint32 destIp, const unsigned char *mac,
                     std::chrono::steady_clock::time_point since, unsigned char *other);

// How the platform's own resolution answers this process: Windows' own
// SendARP; on Linux ARP requests of the process's own (as root), the same
// requests sent by the resolver helper, or the kernel's neighbour table,
// which reports a host that has left for up to about a minute. On Linux this
// starts the helper when no resolution has yet, and waits the few
// milliseconds that takes.
enum class ResolutionPath
{
    SystemSendArp,
    OwnRequests,
    Helper,
    NeighbourTable
};
ResolutionPath CurrentResolutionPath();

} // namespace platform
