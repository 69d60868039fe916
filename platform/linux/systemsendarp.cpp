#include "platform/linux/descriptorgate.h"
#include "platform/linux/linuxlinks.h"
#include "platform/linux/neighbourarp.h"
#include "platform/linux/packetservice.h"
#include "platform/linux/resolverclient.h"
#include "platform/sendarp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace platform {

namespace linuxarp {

bool StopRequested()
{
    return platform::StopRequested();
}

namespace {

// Whether this process may open packet sockets, asked once: the right does
// not come or go while it runs. Otherwise the resolver helper resolves, when
// the genuine one is in its place and serves, and else the kernel's table.
bool OwnSockets()
{
    static const bool own = [] {
        const FileDescriptor probe(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return probe.valid();
    }();
    return own;
}

} // namespace

} // namespace linuxarp

quint32 SystemSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    using namespace linuxarp;
    quint32 room = 0; // six bytes at least: a MAC address fits
    if (const quint32 refused = CheckAnswerBuffer(macAddr, physAddrLen, &room))
        return refused;

    if (platform::StopRequested())
        return kErrBadNetName;
    std::vector<LinkInterface> links;
    if (!RecentInterfaces(&links))
        return kErrGenFailure;
    Route route;
    switch (FindRoute(links, destIp, srcIp, &route)) {
    case RouteResult::Found:
        break;
    case RouteResult::NoNetwork:
    case RouteResult::NoHardwareAddress:
        return kErrBadNetName;
    case RouteResult::SourceNotLocal:
        return kErrNotFound;
    }

    MacAddress mac{};
    if (route.own) {
        std::copy(route.link->hardwareAddress.begin(), route.link->hardwareAddress.end(),
                  mac.begin());
    } else {
        // NotPermitted: this path may not resolve this address, or no
        // longer may; the kernel's table does.
        Outcome outcome = OwnSockets()
                              ? PacketResolve(*route.link, route.sourceAddress, destIp, &mac)
                              : HelperResolve(destIp, &mac);
        if (outcome == Outcome::NotPermitted) {
            // Only this path holds sockets of its own per resolution.
            const DescriptorGate::Pass pass(DescriptorGate::Instance());
            if (!pass.Entered())
                return kErrBadNetName;
            outcome = NeighbourResolve(*route.link, destIp, &mac);
        }
        if (outcome == Outcome::NoAnswer)
            return kErrBadNetName;
        if (outcome != Outcome::Answered)
            return kErrGenFailure;
    }
    std::memcpy(macAddr, mac.data(), mac.size());
    *physAddrLen = static_cast<quint32>(mac.size());
    return kNoError;
}

bool SystemOtherCard(quint32 destIp, const unsigned char *mac,
                     std::chrono::steady_clock::time_point since, unsigned char *other)
{
    using namespace linuxarp;
    MacAddress answer{};
    std::memcpy(answer.data(), mac, answer.size());
    MacAddress second{};
    // The neighbour table keeps one answer: only the other two paths tell.
    const bool twice = OwnSockets() ? PacketOtherCard(destIp, answer, since, &second)
                                    : HelperOtherCard(destIp, answer, since, &second);
    if (twice)
        std::memcpy(other, second.data(), second.size());
    return twice;
}

ResolutionPath CurrentResolutionPath()
{
    if (linuxarp::OwnSockets())
        return ResolutionPath::OwnRequests;
    return linuxarp::HelperServes() ? ResolutionPath::Helper : ResolutionPath::NeighbourTable;
}

} // namespace platform
