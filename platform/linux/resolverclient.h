#pragma once

// The program's side of the resolver helper (resolver/): the one helper of
// the process, started when first needed.

#include "platform/linux/arpbasics.h"

namespace platform::linuxarp {

// Resolves one address through the resolver helper, started at the first
// call when the genuine helper is in its place (HelperPlace) and holds
// CAP_NET_RAW. NotPermitted when there is no such helper, when it has ended
// (then for good), or when it did not reply in time.
Outcome HelperResolve(uint32_t destIp, MacAddress *mac);

// Has the helper send the echo to ff02::1 on the interface that holds
// `interfaceAddress` (platform/ipv6neighbours.h), starting it as
// HelperResolve does: false when there is no such helper or none left.
bool HelperEchoAllNodes(uint32_t interfaceAddress);

// Whether the helper serves, starting it first when nothing has yet.
bool HelperServes();

// Whether the helper, serving, told of a second card for the address since
// `since`; never starts it.
bool HelperOtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                     MacAddress *other);

} // namespace platform::linuxarp
