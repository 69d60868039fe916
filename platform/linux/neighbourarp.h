#pragma once

// Resolution through the kernel's neighbour table, for processes that may
// not open a packet socket.

#include "platform/linux/linuxlinks.h"

namespace platform::linuxarp {

// Makes the kernel resolve destIp through its neighbour table and reads the
// result over rtnetlink. Needs no privilege.
Outcome NeighbourResolve(const LinkInterface &link, uint32_t destIp, MacAddress *mac);

} // namespace platform::linuxarp
