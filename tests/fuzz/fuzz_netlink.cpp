// The rtnetlink scanners of the neighbour path, on any datagram: the
// neighbour messages about one address, the table threshold and the IPv6
// rows of a dump. The first
// twelve bytes choose the interface, the address and the sequence number.
#include "platform/linux/netlinkmessages.h"

#include <cstdlib>
#include <cstring>

using namespace platform::linuxarp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 12)
        return 0;
    int ifindex;
    uint32_t address, sequence;
    std::memcpy(&ifindex, data, 4);
    std::memcpy(&address, data + 4, 4);
    std::memcpy(&sequence, data + 8, 4);
    data += 12;
    size -= 12;

    NeighbourReport report;
    ScanNeighbourMessages(data, size, ifindex, address, sequence, &report);
    // An error is an errno, and an answer is only ever to our own query.
    if (report.error < 0 || (report.replied && sequence == 0) ||
        (report.hasMac && !report.mentioned))
        std::abort();
    (void)IsResolvedState(report.state);
    (void)ScanTableThreshold(data, size);
    // The rows of a dump stay within their bound.
    std::vector<platform::Ipv6Neighbour> rows;
    ScanIpv6Neighbours(data, size, ifindex, sequence, &rows, 4);
    if (rows.size() > 4)
        std::abort();
    return 0;
}
