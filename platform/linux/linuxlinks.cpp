// The machine's interfaces and the choice of the one that reaches an
// address; shared by the program and the resolver helper.

#include "platform/linux/linuxlinks.h"

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

RouteResult FindRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                      Route *route)
{
    std::vector<std::vector<InterfaceAddress>> networks;
    networks.reserve(links.size());
    for (const LinkInterface &link : links)
        networks.push_back(IsArpCapable(link) ? link.addresses : std::vector<InterfaceAddress>());
    RouteChoice choice;
    const RouteResult result = ChooseRoute(networks, destIp, srcIp, &choice);
    if (result == RouteResult::Found)
        *route = Route{&links[choice.link], choice.sourceAddress, choice.own};
    return result;
}

} // namespace platform::linuxarp
