// The IPv6 addresses of a network's hosts on Windows: Icmp6SendEcho2 to
// ff02::1 on the network's interface, then GetIpNetTable2(AF_INET6).

#include "platform/ipv6neighbours.h"

#include "platform/windows/adapters.h"
#include "platform/windows/iphelper.h"
#include "platform/windows/neighbourtable.h"

// clang-format off
#include <icmpapi.h>
// clang-format on

#include <array>

namespace platform {

namespace {

// How long the echo waits for its first reply, which it does not read: the
// table is read at the scan's end.
constexpr DWORD kEchoWaitMs = 100;

// The index of the interface that holds `address`, the only one the echo
// may leave by.
bool InterfaceHolding(quint32 address, quint32 *index)
{
    std::vector<winarp::Adapter> adapters;
    if (address == 0 || !winarp::RecentAdapters(&adapters))
        return false;
    for (const winarp::Adapter &adapter : adapters) {
        for (const InterfaceAddress &held : adapter.addresses) {
            if (held.address == address) {
                *index = adapter.index;
                return true;
            }
        }
    }
    return false;
}

} // namespace

bool SystemEchoAllNodes(quint32 interfaceAddress)
{
    quint32 index = 0;
    if (!InterfaceHolding(interfaceAddress, &index))
        return false;
    const HANDLE icmp = ::Icmp6CreateFile();
    if (icmp == INVALID_HANDLE_VALUE)
        return false;
    sockaddr_in6 source{};
    source.sin6_family = AF_INET6;
    sockaddr_in6 allNodes{};
    allNodes.sin6_family = AF_INET6;
    allNodes.sin6_addr.s6_addr[0] = 0xff;
    allNodes.sin6_addr.s6_addr[1] = 0x02;
    allNodes.sin6_addr.s6_addr[15] = 0x01;
    allNodes.sin6_scope_id = index;
    IP_OPTION_INFORMATION options{};
    options.Ttl = 1;
    char data[8] = {};
    std::array<unsigned char, 512> reply{};
    const DWORD answers =
        ::Icmp6SendEcho2(icmp, nullptr, nullptr, nullptr, &source, &allNodes, data, sizeof data,
                         &options, reply.data(), static_cast<DWORD>(reply.size()), kEchoWaitMs);
    const DWORD error = answers ? ERROR_SUCCESS : ::GetLastError();
    ::IcmpCloseHandle(icmp);
    // Sent, whether or not a reply came in time.
    return answers > 0 || error == IP_REQ_TIMED_OUT;
}

bool SystemReadIpv6Neighbours(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows)
{
    quint32 index = 0;
    if (!InterfaceHolding(interfaceAddress, &index))
        return false;
    return winarp::ReadSystemIpv6Table(index, rows);
}

} // namespace platform
