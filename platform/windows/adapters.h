#pragma once

// The machine's interfaces, as the IP Helper lists them, and SendARP's
// choice of the one that reaches an address among them.

#include "platform/neighbourreads.h"
#include "platform/routechoice.h"

#include <QtGlobal>

#include <vector>

namespace platform::winarp {

struct Adapter
{
    quint32 index = 0; // the IPv4 interface index, as the table's rows give it
    neighbours::HardwareAddress mac;
    std::vector<InterfaceAddress> addresses;
};

// The interfaces that are up and resolve addresses to a hardware address of
// six bytes or more (not loopback, not a tunnel), with their IPv4 addresses,
// as listed at most half a second ago: a scan asks hundreds of times within
// a second. False when they could not be listed.
bool RecentAdapters(std::vector<Adapter> *adapters);

struct Route
{
    const Adapter *adapter = nullptr;
    quint32 sourceAddress = 0;
    bool own = false;
};

// platform::ChooseRoute among the adapters.
RouteResult FindRoute(const std::vector<Adapter> &adapters, quint32 destIp, quint32 srcIp,
                      Route *route);

} // namespace platform::winarp
