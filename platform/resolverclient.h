#pragma once

// The program's side of the resolver helper (resolver/).

#include "platform/arpbasics.h"

#include <string>

namespace platform::linuxarp {

// Resolves one address through the resolver helper, started at the first call
// when it is installed beside the program and holds CAP_NET_RAW. NotPermitted
// when there is no such helper, or it has ended (then for good).
Outcome HelperResolve(uint32_t destIp, MacAddress *mac);

// Whether a resolver helper that may be used is installed: the first of the
// places it is looked for that holds one, with CAP_NET_RAW in its permitted
// and effective file capabilities. Empty when none.
std::string FindHelper();

// Whether the file carries CAP_NET_RAW as a permitted, effective capability.
bool HasRawCapability(const std::string &path);

} // namespace platform::linuxarp
