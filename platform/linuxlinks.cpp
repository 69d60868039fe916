// The machine's interfaces and the choice of the one that reaches an
// address; shared by the program and the resolver helper.

#include "platform/linuxlinks.h"

#include "platform/netmask.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace platform::linuxarp {

FileDescriptor::~FileDescriptor()
{
    if (fd >= 0)
        ::close(fd);
}

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = other.release();
    }
    return *this;
}

namespace {

// Retries `attempt` while it fails for want of descriptors or memory: a
// thousand resolutions at once can briefly exhaust them, and that must not
// turn into "nobody answered".
template <typename Attempt> int WithPatience(Attempt attempt)
{
    constexpr auto patience = std::chrono::seconds(5);
    const Clock::time_point giveUp = Clock::now() + patience;
    for (;;) {
        const int result = attempt();
        if (result >= 0)
            return result;
        const int error = errno;
        const bool shortage =
            error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
        if (!shortage || Clock::now() >= giveUp) {
            errno = error;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

int OpenSocket(int domain, int type, int protocol)
{
    return WithPatience([&] { return ::socket(domain, type, protocol); });
}

namespace {

bool InNetwork(const InterfaceAddress &address, uint32_t destIp)
{
    if (address.prefixLength <= 0 || address.prefixLength > 32)
        return false;
    const uint32_t mask =
        address.prefixLength == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> address.prefixLength);
    return (ntohl(address.address) & mask) == (ntohl(destIp) & mask);
}

bool HasAddress(const LinkInterface &link, uint32_t ip)
{
    for (const InterfaceAddress &address : link.addresses) {
        if (address.address == ip)
            return true;
    }
    return false;
}

} // namespace

bool ListInterfaces(std::vector<LinkInterface> *interfaces)
{
    std::vector<LinkInterface> links;
    ifaddrs *list = nullptr;
    if (WithPatience([&] { return ::getifaddrs(&list); }) != 0)
        return false;

    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        sockaddr_ll hardware;
        std::memcpy(&hardware, entry->ifa_addr, sizeof hardware);
        LinkInterface link;
        link.name = entry->ifa_name;
        link.index = hardware.sll_ifindex;
        link.flags = entry->ifa_flags;
        link.hardwareType = hardware.sll_hatype;
        const std::size_t length =
            std::min<std::size_t>(hardware.sll_halen, sizeof hardware.sll_addr);
        link.hardwareAddress.assign(hardware.sll_addr, hardware.sll_addr + length);
        links.push_back(std::move(link));
    }

    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        // An address label ("eth0:1") names its device before the colon.
        std::string name = entry->ifa_name;
        name = name.substr(0, name.find(':'));
        for (LinkInterface &link : links) {
            if (link.name != name)
                continue;
            sockaddr_in address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            InterfaceAddress added;
            added.address = address.sin_addr.s_addr;
            added.prefixLength = 32;
            if (entry->ifa_netmask) {
                sockaddr_in netmask;
                std::memcpy(&netmask, entry->ifa_netmask, sizeof netmask);
                added.prefixLength = platform::PrefixLength(netmask.sin_addr.s_addr);
            }
            link.addresses.push_back(added);
            break;
        }
    }
    ::freeifaddrs(list);
    *interfaces = std::move(links);
    return true;
}

// The interfaces as listed at most kInterfaceListLifetime ago.
bool RecentInterfaces(std::vector<LinkInterface> *interfaces)
{
    static std::mutex mutex;
    static std::vector<LinkInterface> listed;
    static Clock::time_point listedAt;
    static bool valid = false;

    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    if (!valid || now - listedAt > kInterfaceListLifetime) {
        std::vector<LinkInterface> fresh;
        if (!ListInterfaces(&fresh))
            return false;
        listed = std::move(fresh);
        listedAt = now;
        valid = true;
    }
    *interfaces = listed;
    return true;
}

bool IsArpCapable(const LinkInterface &link)
{
    const unsigned needed = IFF_UP | IFF_RUNNING;
    if ((link.flags & needed) != needed)
        return false;
    if (link.flags & (IFF_LOOPBACK | IFF_NOARP))
        return false;
    return link.hardwareType == ARPHRD_ETHER && link.hardwareAddress.size() == 6 && link.index > 0;
}

namespace {

// Whether host is the broadcast address of one of the link's networks (a /31
// or a /32 has none).
bool IsBroadcastOf(const LinkInterface &link, uint32_t host)
{
    for (const InterfaceAddress &address : link.addresses) {
        if (address.prefixLength <= 0 || address.prefixLength >= 31)
            continue;
        const uint32_t hostBits = 0xFFFFFFFFu >> address.prefixLength;
        const uint32_t own = ntohl(address.address);
        if ((own & ~hostBits) == (host & ~hostBits) && (host & hostBits) == hostBits)
            return true;
    }
    return false;
}

RouteResult NetworkRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                         Route *route)
{
    bool sourceFound = srcIp == 0;
    int bestPrefix = -1;
    Route best;
    for (const LinkInterface &link : links) {
        if (!IsArpCapable(link))
            continue;
        if (srcIp != 0) {
            if (!HasAddress(link, srcIp))
                continue;
            sourceFound = true;
        }
        for (const InterfaceAddress &address : link.addresses) {
            if (!InNetwork(address, destIp))
                continue;
            if (HasAddress(link, destIp)) {
                route->link = &link;
                route->sourceAddress = destIp;
                route->own = true;
                return RouteResult::Found;
            }
            if (address.prefixLength > bestPrefix) {
                bestPrefix = address.prefixLength;
                best.link = &link;
                best.sourceAddress = srcIp != 0 ? srcIp : address.address;
                best.own = false;
            }
        }
    }
    if (!sourceFound)
        return RouteResult::SourceNotLocal;
    if (!best.link)
        return RouteResult::NoNetwork;
    *route = best;
    return RouteResult::Found;
}

} // namespace

RouteResult FindRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                      Route *route)
{
    const uint32_t host = ntohl(destIp);
    if (host == 0 || host == 0xFFFFFFFFu || (host >> 28) == 0xE)
        return RouteResult::NoHardwareAddress;
    Route found;
    const RouteResult result = NetworkRoute(links, destIp, srcIp, &found);
    if (result != RouteResult::Found)
        return result;
    if (IsBroadcastOf(*found.link, host))
        return RouteResult::NoHardwareAddress;
    *route = found;
    return RouteResult::Found;
}

} // namespace platform::linuxarp
