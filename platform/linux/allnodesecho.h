#pragma once

// The one ICMPv6 echo request a scan sends to the all-nodes group ff02::1,
// built the same way by the program and by the resolver helper: eight bytes,
// no data, one hop, out of one interface, never looped back. Its replies are
// never read.

#include "platform/linux/linuxlinks.h"

namespace platform::linuxarp {

enum class EchoSocketKind
{
    Raw, // needs CAP_NET_RAW
    Ping // a ping socket, where net.ipv4.ping_group_range lets the group open one
};

// A socket for the echo, set up once: hop limit 1, no loopback, and (raw)
// every ICMPv6 message it would receive filtered out, so that nothing queues
// on it however long it stays open. Invalid when it may not be opened.
FileDescriptor OpenEchoSocket(EchoSocketKind kind);

// Sends the echo on `socket` to ff02::1 on the interface `ifindex` only (its
// scope id), with `ident` as its identifier (a ping socket sets its own).
// False when it did not leave whole.
bool SendAllNodesEcho(int socket, int ifindex, uint16_t ident);

} // namespace platform::linuxarp
