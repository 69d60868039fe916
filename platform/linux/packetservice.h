#pragma once

// The program's own packet sockets, for a process that may open them (root).

#include "platform/linux/linuxlinks.h"

namespace platform::linuxarp {

// Resolves one address on the process's own packet sockets, shared by every
// resolution in the process and driven by a thread of their own.
// NotPermitted when the process may not open one.
Outcome PacketResolve(const LinkInterface &link, uint32_t sourceIp, uint32_t destIp,
                      MacAddress *mac);

// Whether a second card answered for the address since `since`
// (AnswerBook::Other), on the same sockets.
bool PacketOtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                     MacAddress *other);

} // namespace platform::linuxarp
