#pragma once

// The rtnetlink messages of the neighbour-table path: the filter and the
// query it sends, and the reading of what the kernel answers. Pure functions
// of their bytes, so that they can be tested and fuzzed on their own.

#include "platform/ipv6neighbours.h"
#include "platform/linux/arpbasics.h"

#include <linux/filter.h>

#include <cstddef>
#include <vector>

namespace platform::linuxarp {

// Classic BPF program for a NETLINK_ROUTE socket that drops neighbour
// messages about IPv4 addresses other than address, and every other message
// but errors and acknowledgements.
std::vector<sock_filter> NeighbourFilter(uint32_t address);

// An RTM_GETNEIGH request for one address on one interface.
std::vector<uint8_t> BuildNeighbourQuery(int ifindex, uint32_t address, uint32_t sequence);

// What one netlink datagram says about one address on one interface.
struct NeighbourReport
{
    bool mentioned = false; // a message about the address came (state below)
    uint16_t state = 0;     // NUD_*; 0 when the entry was removed
    bool hasMac = false;
    MacAddress mac{};
    bool replied = false; // the answer to our query came (state, or error below)
    int error = 0;        // errno of an error answer; ENOENT: no entry
    bool overrun = false;
};

void ScanNeighbourMessages(const uint8_t *data, std::size_t size, int ifindex, uint32_t address,
                           uint32_t sequence, NeighbourReport *report);

// A state that carries a usable hardware address.
bool IsResolvedState(uint16_t state);

// The kernel's neighbour-table threshold (gc_thresh3), from an
// RTM_NEWNEIGHTBL datagram; 0 when it holds none.
uint32_t ScanTableThreshold(const uint8_t *data, std::size_t size);

// Whether the datagram ends a dump (NLMSG_DONE) or answers with an error.
bool EndsDump(const uint8_t *data, std::size_t size);

// An RTM_GETNEIGH dump request for the IPv6 rows of one interface.
std::vector<uint8_t> BuildIpv6NeighbourDump(int ifindex, uint32_t sequence);

// Appends to `rows`, up to `maxRows`, the IPv6 rows on `ifindex` that the
// datagram holds in answer to the dump `sequence`, in a state with a
// hardware address of six bytes. Returns whether the datagram ends that
// dump (done, or an error).
bool ScanIpv6Neighbours(const uint8_t *data, std::size_t size, int ifindex, uint32_t sequence,
                        std::vector<platform::Ipv6Neighbour> *rows, std::size_t maxRows);

} // namespace platform::linuxarp
