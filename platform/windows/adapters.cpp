#include "platform/windows/adapters.h"

#include "platform/windows/iphelper.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace platform::winarp {

namespace {

using Clock = std::chrono::steady_clock;

// How long one list of the interfaces serves: a scan asks hundreds of times
// within a second.
constexpr std::chrono::milliseconds kAdapterListLifetime{500};

// The interfaces that are up and resolve addresses to a hardware address of
// six bytes or more (not loopback, not a tunnel), with their IPv4 addresses.
bool ReadAdapters(std::vector<Adapter> *adapters)
{
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                            GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        ULONG size = static_cast<ULONG>(buffer.size());
        status = ::GetAdaptersAddresses(
            AF_INET, flags, nullptr, reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
        if (status == ERROR_BUFFER_OVERFLOW)
            buffer.resize(std::max<std::size_t>(size, 2 * buffer.size()));
    }
    adapters->clear();
    if (status == ERROR_NO_DATA)
        return true;
    if (status != NO_ERROR)
        return false;
    for (auto *entry = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer.data()); entry;
         entry = entry->Next) {
        if (entry->OperStatus != IfOperStatusUp || entry->IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
            entry->PhysicalAddressLength < 6 ||
            entry->PhysicalAddressLength > sizeof entry->PhysicalAddress)
            continue;
        Adapter adapter;
        adapter.index = static_cast<quint32>(entry->IfIndex);
        std::copy(entry->PhysicalAddress, entry->PhysicalAddress + entry->PhysicalAddressLength,
                  adapter.mac.bytes.begin());
        adapter.mac.length = static_cast<quint32>(entry->PhysicalAddressLength);
        for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = entry->FirstUnicastAddress; unicast;
             unicast = unicast->Next) {
            const SOCKADDR *socketAddress = unicast->Address.lpSockaddr;
            if (!socketAddress || socketAddress->sa_family != AF_INET ||
                unicast->Address.iSockaddrLength < int(sizeof(sockaddr_in)) ||
                unicast->OnLinkPrefixLength < 1 || unicast->OnLinkPrefixLength > 32)
                continue;
            const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(socketAddress);
            adapter.addresses.push_back(
                InterfaceAddress{ipv4->sin_addr.s_addr, int(unicast->OnLinkPrefixLength)});
        }
        if (!adapter.addresses.empty())
            adapters->push_back(std::move(adapter));
    }
    return true;
}

} // namespace

bool RecentAdapters(std::vector<Adapter> *adapters)
{
    static std::mutex mutex;
    static std::vector<Adapter> recent;
    static Clock::time_point readAt{};
    static bool valid = false;
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    if (!valid || now - readAt >= kAdapterListLifetime) {
        valid = ReadAdapters(&recent);
        readAt = now;
    }
    *adapters = recent;
    return valid;
}

RouteResult FindRoute(const std::vector<Adapter> &adapters, quint32 destIp, quint32 srcIp,
                      Route *route)
{
    std::vector<std::vector<InterfaceAddress>> networks;
    networks.reserve(adapters.size());
    for (const Adapter &adapter : adapters)
        networks.push_back(adapter.addresses);
    RouteChoice choice;
    const RouteResult result = ChooseRoute(networks, destIp, srcIp, &choice);
    if (result == RouteResult::Found)
        *route = Route{&adapters[choice.link], choice.sourceAddress, choice.own};
    return result;
}

} // namespace platform::winarp
