#pragma once

// The one reading of an IPv4 netmask that every part shares: the program's
// network list, trelvan-list and the Linux interfaces alike. No Qt, for the
// resolver helper.

#include <cstdint>

namespace platform {

// The prefix length of a netmask, its one bits: 24 for 255.255.255.0. In
// either byte order.
constexpr int PrefixLength(uint32_t netmask)
{
    int length = 0;
    for (; netmask; netmask &= netmask - 1)
        ++length;
    return length;
}

} // namespace platform
