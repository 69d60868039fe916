#include "platform/routechoice.h"

#include <algorithm>

namespace platform {

namespace {

constexpr uint32_t kMinHardwareLength = 6;

// An address in network byte order as a number.
uint32_t HostOrder(uint32_t address)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&address);
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

bool InNetwork(const InterfaceAddress &address, uint32_t destIp)
{
    if (address.prefixLength <= 0 || address.prefixLength > 32)
        return false;
    const uint32_t mask =
        address.prefixLength == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> address.prefixLength);
    return (HostOrder(address.address) & mask) == (HostOrder(destIp) & mask);
}

bool HasAddress(const std::vector<InterfaceAddress> &addresses, uint32_t ip)
{
    return std::any_of(addresses.begin(), addresses.end(),
                       [ip](const InterfaceAddress &address) { return address.address == ip; });
}

// Whether host is the broadcast address of one of the networks (a /31 or a
// /32 has none).
bool IsBroadcastOf(const std::vector<InterfaceAddress> &addresses, uint32_t host)
{
    for (const InterfaceAddress &address : addresses) {
        if (address.prefixLength <= 0 || address.prefixLength >= 31)
            continue;
        const uint32_t hostBits = 0xFFFFFFFFu >> address.prefixLength;
        const uint32_t own = HostOrder(address.address);
        if ((own & ~hostBits) == (host & ~hostBits) && (host & hostBits) == hostBits)
            return true;
    }
    return false;
}

RouteResult NetworkRoute(const std::vector<std::vector<InterfaceAddress>> &links, uint32_t destIp,
                         uint32_t srcIp, RouteChoice *route)
{
    bool sourceFound = srcIp == 0;
    int bestPrefix = -1;
    RouteChoice best;
    for (std::size_t link = 0; link < links.size(); ++link) {
        const std::vector<InterfaceAddress> &addresses = links[link];
        if (srcIp != 0) {
            if (!HasAddress(addresses, srcIp))
                continue;
            sourceFound = true;
        }
        for (const InterfaceAddress &address : addresses) {
            if (!InNetwork(address, destIp))
                continue;
            if (HasAddress(addresses, destIp)) {
                *route = RouteChoice{link, destIp, true};
                return RouteResult::Found;
            }
            if (address.prefixLength > bestPrefix) {
                bestPrefix = address.prefixLength;
                best = RouteChoice{link, srcIp != 0 ? srcIp : address.address, false};
            }
        }
    }
    if (!sourceFound)
        return RouteResult::SourceNotLocal;
    if (bestPrefix < 0)
        return RouteResult::NoNetwork;
    *route = best;
    return RouteResult::Found;
}

} // namespace

uint32_t CheckAnswerBuffer(const void *macAddr, uint32_t *physAddrLen, uint32_t *room)
{
    if (!macAddr || !physAddrLen)
        return kErrInvalidParameter;
    *room = *physAddrLen;
    *physAddrLen = 0;
    return *room < kMinHardwareLength ? kErrInvalidUserBuffer : kNoError;
}

bool HasNoHardwareAddress(uint32_t address)
{
    const uint32_t host = HostOrder(address);
    return host == 0 || host == 0xFFFFFFFFu || (host >> 28) == 0xE;
}

RouteResult ChooseRoute(const std::vector<std::vector<InterfaceAddress>> &links, uint32_t destIp,
                        uint32_t srcIp, RouteChoice *route)
{
    if (HasNoHardwareAddress(destIp))
        return RouteResult::NoHardwareAddress;
    RouteChoice found;
    const RouteResult result = NetworkRoute(links, destIp, srcIp, &found);
    if (result != RouteResult::Found)
        return result;
    if (IsBroadcastOf(links[found.link], HostOrder(destIp)))
        return RouteResult::NoHardwareAddress;
    *route = found;
    return RouteResult::Found;
}

} // namespace platform
