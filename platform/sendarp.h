#pragma once

#include <QtGlobal>

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
// directly attached network that holds it: with ARP requests of our own
// where a packet socket may be opened, through the kernel's neighbour table
// otherwise. The machine's own address answers with its own hardware address.
// An address on no directly attached network never answers.
namespace platform {

using SendArpFunction = quint32 (*)(quint32 destIp, quint32 srcIp, void *macAddr,
                                    quint32 *physAddrLen);

quint32 SendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen);

// Replaces the resolution for every later call (tests put a fake here before
// any scan starts); nullptr restores the platform's own. Returns the previous.
SendArpFunction SetSendArpFunction(SendArpFunction function);

// The platform's own resolution, whatever SetSendArpFunction installed.
quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen);

} // namespace platform
