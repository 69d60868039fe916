#include "platform/linux/allnodesecho.h"

#include <arpa/inet.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform::linuxarp {

namespace {

void SetOption(int socket, int level, int name, int value)
{
    ::setsockopt(socket, level, name, &value, sizeof value);
}

} // namespace

FileDescriptor OpenEchoSocket(EchoSocketKind kind)
{
    const int type = kind == EchoSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM;
    FileDescriptor socket(::socket(AF_INET6, type | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMPV6));
    if (!socket.valid())
        return socket;
    SetOption(socket.get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 1);
    SetOption(socket.get(), IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0);
    if (kind == EchoSocketKind::Raw) {
        icmp6_filter nothing;
        ICMP6_FILTER_SETBLOCKALL(&nothing);
        if (::setsockopt(socket.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &nothing, sizeof nothing) != 0)
            return FileDescriptor();
    }
    return socket;
}

bool SendAllNodesEcho(int socket, int ifindex, uint16_t ident)
{
    if (ifindex <= 0)
        return false;
    icmp6_hdr echo{};
    echo.icmp6_type = ICMP6_ECHO_REQUEST;
    echo.icmp6_id = htons(ident);
    echo.icmp6_seq = htons(1);
    // The kernel fills in the checksum of an ICMPv6 socket.
    sockaddr_in6 allNodes{};
    allNodes.sin6_family = AF_INET6;
    allNodes.sin6_addr.s6_addr[0] = 0xff;
    allNodes.sin6_addr.s6_addr[1] = 0x02;
    allNodes.sin6_addr.s6_addr[15] = 0x01;
    // A link-scope group: the scope id alone picks the interface it leaves by.
    allNodes.sin6_scope_id = static_cast<uint32_t>(ifindex);
    return ::sendto(socket, &echo, sizeof echo, MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr *>(&allNodes),
                    sizeof allNodes) == static_cast<ssize_t>(sizeof echo);
}

} // namespace platform::linuxarp
