#include "platform/windows/neighbourresolve.h"

#include "platform/routechoice.h"
#include "platform/windows/adapters.h"
#include "platform/windows/neighbourtable.h"

#include <algorithm>
#include <mutex>

namespace platform::winarp {

namespace {

using Clock = std::chrono::steady_clock;

// One empty datagram to the discard port, from the interface's address:
// the stack resolves destIp to send it.
void SendDatagram(quint32 sourceIp, quint32 destIp)
{
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == INVALID_SOCKET)
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = sourceIp;
    ::bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(9);
    target.sin_addr.s_addr = destIp;
    const char nothing = 0;
    ::sendto(socket, &nothing, 0, 0, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    ::closesocket(socket);
}

} // namespace

quint32 NeighbourResolve(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    quint32 room = 0;
    if (const quint32 refused = CheckAnswerBuffer(macAddr, physAddrLen, &room))
        return refused;
    if (HasNoHardwareAddress(destIp))
        return ERROR_BAD_NET_NAME;
    if (!SystemTableReadable())
        return ERROR_NOT_SUPPORTED;

    std::vector<Adapter> adapters;
    if (!RecentAdapters(&adapters))
        return ERROR_GEN_FAILURE;
    Route route;
    switch (FindRoute(adapters, destIp, srcIp, &route)) {
    case RouteResult::Found:
        break;
    case RouteResult::NoNetwork:
    case RouteResult::NoHardwareAddress:
        return ERROR_BAD_NET_NAME;
    case RouteResult::SourceNotLocal:
        return ERROR_NOT_FOUND;
    }

    HardwareAddress mac = route.adapter->mac;
    if (!route.own) {
        // Sent even when the table holds the address already: the stack then
        // checks an entry it has not confirmed lately (STALE, on Linux under
        // Wine) and marks it failed if the host has left, rather than keep
        // its hardware address for as long as nothing else asks. While the
        // check runs the entry keeps its address, as it does for the
        // system's own SendARP.
        const quint32 sourceIp = route.sourceAddress;
        const auto ask = [sourceIp, destIp] { SendDatagram(sourceIp, destIp); };
        ask();
        if (!SystemReads().Await(destIp, route.adapter->index, Clock::now() + kAnswerWait, &mac,
                                 ask))
            return ERROR_BAD_NET_NAME;
    }
    if (mac.length > room)
        return ERROR_INVALID_USER_BUFFER;
    std::copy(mac.bytes.begin(), mac.bytes.begin() + mac.length,
              static_cast<unsigned char *>(macAddr));
    *physAddrLen = mac.length;
    return NO_ERROR;
}

} // namespace platform::winarp
