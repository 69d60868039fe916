#include "platform/ipv6neighbours.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<AllNodesEchoFunction> installedEcho{nullptr};
std::atomic<Ipv6TableFunction> installedTable{nullptr};
} // namespace

bool EchoAllNodes(quint32 interfaceAddress)
{
    const AllNodesEchoFunction function = installedEcho.load();
    return function ? function(interfaceAddress) : SystemEchoAllNodes(interfaceAddress);
}

bool ReadIpv6Neighbours(quint32 interfaceAddress, std::vector<Ipv6Neighbour> *rows)
{
    rows->clear();
    const Ipv6TableFunction function = installedTable.load();
    const bool read = function ? function(interfaceAddress, rows)
                               : SystemReadIpv6Neighbours(interfaceAddress, rows);
    if (rows->size() > kMaxIpv6Neighbours)
        rows->resize(kMaxIpv6Neighbours);
    return read;
}

Ipv6Functions SetIpv6Functions(Ipv6Functions functions)
{
    return {installedEcho.exchange(functions.echo), installedTable.exchange(functions.table)};
}

} // namespace platform
