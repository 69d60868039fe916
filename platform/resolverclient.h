#pragma once

// The program's side of the resolver helper (resolver/): the one helper of
// the process, started when first needed.

#include "platform/arpbasics.h"

namespace platform::linuxarp {

// Resolves one address through the resolver helper, started at the first
// call when the genuine helper is in its place (HelperPlace) and holds
// CAP_NET_RAW. NotPermitted when there is no such helper, when it has ended
// (then for good), or when it did not reply in time.
Outcome HelperResolve(uint32_t destIp, MacAddress *mac);

// Whether the helper serves, starting it first when nothing has yet.
bool HelperServes();

} // namespace platform::linuxarp
