#pragma once

// What SendARP's contract says on every platform before any request goes
// out: the answers it gives, the checks of its arguments and the choice of
// the interface that reaches an address. No Qt, for the resolver helper.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// The values the IP Helper function returns, on both platforms alike.
constexpr uint32_t kNoError = 0;
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrBadNetName = 67; // nobody answered, or not on an attached network
constexpr uint32_t kErrNotSupported = 50;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrNotFound = 1168; // srcIp is none of the machine's addresses
constexpr uint32_t kErrInvalidUserBuffer = 1784;

// The checks of the buffer SendARP writes to: kErrInvalidParameter without
// one or without its size, kErrInvalidUserBuffer when it is shorter than
// six bytes, else kNoError with its size in *room. *physAddrLen is 0 after
// the call whenever it is given.
uint32_t CheckAnswerBuffer(const void *macAddr, uint32_t *physAddrLen, uint32_t *room);

// Whether an address (network byte order) can have no hardware address:
// 0.0.0.0, the limited broadcast and multicast addresses.
bool HasNoHardwareAddress(uint32_t address);

struct InterfaceAddress
{
    uint32_t address = 0; // network byte order
    int prefixLength = 0;
};

struct RouteChoice
{
    std::size_t link = 0;       // the index of the chosen interface
    uint32_t sourceAddress = 0; // network byte order
    bool own = false;           // destIp is one of that interface's own addresses
};

enum class RouteResult
{
    Found,
    NoNetwork,
    SourceNotLocal,
    NoHardwareAddress
};

// Among the interfaces that may resolve (their IPv4 addresses, one entry
// per interface; none for one that may not), the directly attached network
// that holds destIp, the longest prefix winning; a non-zero srcIp limits the
// choice to the interface holding it. An address that has no hardware
// address is refused (NoHardwareAddress): those of HasNoHardwareAddress
// before any interface is looked at, and a network's own broadcast address
// on the interface that holds it.
RouteResult ChooseRoute(const std::vector<std::vector<InterfaceAddress>> &links, uint32_t destIp,
                        uint32_t srcIp, RouteChoice *route);

} // namespace platform
