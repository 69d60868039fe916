#pragma once

// The IPv6 addresses the neighbour table gives, joined to a scan's IPv4
// hosts by their hardware addresses. Pure: the rows are values.

#include "platform/ipv6neighbours.h"
#include "scan/hostrecord.h"

#include <cstddef>
#include <vector>

// The most IPv6 addresses one host keeps: link-local first, then the
// freshest others (a privacy address that has rotated falls behind).
constexpr std::size_t kMaxIpv6PerHost = 8;

// Sets the ipv6 of every host of `hosts` to the addresses of the rows whose
// hardware address is its MAC, at most kMaxIpv6PerHost, in text form
// ("fe80::1"). A row counts only with a unicast hardware address that is
// not all zeros and a unicast address that is neither unspecified,
// loopback, multicast nor an IPv4 one; a row whose MAC is no host's is
// dropped: it makes no host. Rows beyond kMaxIpv6Neighbours are ignored.
void JoinIpv6(HostMap &hosts, const std::vector<platform::Ipv6Neighbour> &rows);
