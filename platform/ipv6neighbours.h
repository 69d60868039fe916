#pragma once

// The IPv6 addresses of the hosts on one of the machine's networks: one
// ICMPv6 echo request to the all-nodes group ff02::1 on that network's
// interface, then, a little later, the stack's IPv6 neighbour table for that
// interface. The echo's replies are never read: only the table counts,
// whose rows the stack made from the hosts' own neighbour messages.

#include <QtGlobal>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// The most rows one read of the table takes in, whatever answers.
constexpr std::size_t kMaxIpv6Neighbours = 4096;

// One row of the IPv6 neighbour table that holds a hardware address.
struct Ipv6Neighbour
{
    std::array<unsigned char, 16> address{};
    std::array<unsigned char, 6> mac{};
    // Milliseconds since the stack last updated the row: the smaller, the
    // fresher (a privacy address that has rotated ages out).
    std::uint32_t age = 0;
};

// Sends the echo on the interface that holds `interfaceAddress` (IPv4,
// network byte order), and nowhere else: as root through a raw ICMPv6
// socket, otherwise through a ping socket where the system allows
// unprivileged ICMP, and otherwise (Linux) through the resolver helper. False
// when it could not be sent (no such interface, no IPv6 on it, no right to
// send).
using AllNodesEchoFunction = bool (*)(quint32 interfaceAddress);
// Reads the IPv6 rows of that interface's neighbour table, at most
// kMaxIpv6Neighbours, within a deadline; false when it cannot be read.
using Ipv6TableFunction = bool (*)(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows);

bool EchoAllNodes(quint32 interfaceAddress);
bool ReadIpv6Neighbours(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows);

// Replace both for every later call (tests put fakes here before a scan
// starts); nullptr restores the platform's own. Returns the previous.
struct Ipv6Functions
{
    AllNodesEchoFunction echo = nullptr;
    Ipv6TableFunction table = nullptr;
};
Ipv6Functions SetIpv6Functions(Ipv6Functions functions);

// The platform's own.
bool SystemEchoAllNodes(quint32 interfaceAddress);
bool SystemReadIpv6Neighbours(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows);

} // namespace platform
