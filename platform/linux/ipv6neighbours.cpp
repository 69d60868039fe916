// The IPv6 addresses of a network's hosts on Linux: one echo to ff02::1 on
// the network's interface (the process's own, or the resolver helper's),
// then a dump of that interface's IPv6 neighbour rows over rtnetlink,
// bounded in rows, bytes and time.

#include "platform/ipv6neighbours.h"

#include "platform/linux/allnodesecho.h"
#include "platform/linux/linuxlinks.h"
#include "platform/linux/netlinkmessages.h"
#include "platform/linux/resolverclient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace platform {

namespace {

using linuxarp::Clock;
using linuxarp::FileDescriptor;
using linuxarp::LinkInterface;

// How long a dump of the table may take, however much a flood put in it.
constexpr std::chrono::milliseconds kDumpDeadline{500};
// The most bytes a dump is read for; a full table of kMaxIpv6Neighbours
// rows takes well under this.
constexpr std::size_t kMaxDumpBytes = 2 * 1024 * 1024;

std::atomic<uint32_t> dumpSequence{0};

// The interface that holds `address`, where ARP runs: the one the scan
// walks, and the only one the echo may leave by.
bool InterfaceHolding(quint32 address, LinkInterface *found)
{
    std::vector<LinkInterface> links;
    if (address == 0 || !linuxarp::RecentInterfaces(&links))
        return false;
    for (LinkInterface &link : links) {
        if (!linuxarp::IsArpCapable(link))
            continue;
        for (const InterfaceAddress &held : link.addresses) {
            if (held.address == address) {
                *found = std::move(link);
                return true;
            }
        }
    }
    return false;
}

} // namespace

bool SystemEchoAllNodes(quint32 interfaceAddress)
{
    LinkInterface link;
    if (!InterfaceHolding(interfaceAddress, &link))
        return false;
    // As root a raw socket; otherwise a ping socket, which the system lets
    // the groups of net.ipv4.ping_group_range open; otherwise the resolver
    // helper sends it, when it serves this program.
    FileDescriptor socket = linuxarp::OpenEchoSocket(linuxarp::EchoSocketKind::Raw);
    if (!socket.valid())
        socket = linuxarp::OpenEchoSocket(linuxarp::EchoSocketKind::Ping);
    if (!socket.valid())
        return linuxarp::HelperEchoAllNodes(interfaceAddress);
    // Out of this interface only, whatever the scope id would allow.
    const int index = link.index;
    ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_BINDTODEVICE, link.name.c_str(),
                 static_cast<socklen_t>(link.name.size()));
    // The replies are never read: the socket closes with them unread.
    return linuxarp::SendAllNodesEcho(socket.get(), link.index, static_cast<uint16_t>(link.index));
}

bool SystemReadIpv6Neighbours(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows)
{
    LinkInterface link;
    if (!InterfaceHolding(interfaceAddress, &link))
        return false;
    FileDescriptor socket(
        linuxarp::OpenSocket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!socket.valid())
        return false;
    const uint32_t sequence = ++dumpSequence;
    const std::vector<uint8_t> query = linuxarp::BuildIpv6NeighbourDump(link.index, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), query.data(), query.size(), 0,
                 reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel) < 0)
        return false;
    const Clock::time_point until = Clock::now() + kDumpDeadline;
    std::vector<uint8_t> buffer(64 * 1024);
    std::size_t read = 0;
    while (Clock::now() < until && read < kMaxDumpBytes) {
        pollfd waiting{socket.get(), POLLIN, 0};
        const timespec timeout = linuxarp::TimeLeft(until);
        if (::ppoll(&waiting, 1, &timeout, nullptr) <= 0)
            continue;
        sockaddr_nl from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(socket.get(), buffer.data(), buffer.size(), 0,
                                        reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (size < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        if (from.nl_pid != 0)
            continue; // only the kernel's answer
        read += static_cast<std::size_t>(size);
        if (linuxarp::ScanIpv6Neighbours(buffer.data(), static_cast<std::size_t>(size), link.index,
                                         sequence, rows, kMaxIpv6Neighbours))
            return true;
    }
    // Out of time or room: what came is kept, bounded.
    return !rows->empty();
}

} // namespace platform
