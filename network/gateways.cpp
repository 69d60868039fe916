#include "network/gateways.h"

#include <QFile>
#include <QtEndian>

#include <atomic>
#include <tuple>

#ifdef Q_OS_WIN
#include <vector>
// winsock2.h must come before windows.h, and iphlpapi.h after both.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on
#endif

namespace {
std::atomic<GatewayLister> installedLister{nullptr};

#if defined(Q_OS_LINUX)
// /proc/net/route: "Iface Destination Gateway Flags RefCnt Use Metric Mask
// ...", addresses as the hexadecimal of their bytes in memory.
QList<GatewayRoute> LinuxGateways()
{
    constexpr uint RouteUp = 0x1, RouteGateway = 0x2;
    QList<GatewayRoute> routes;
    QFile file(QStringLiteral("/proc/net/route"));
    if (!file.open(QIODevice::ReadOnly))
        return routes;
    file.readLine(4096); // the heading
    for (int lines = 0; lines < 4096 && !file.atEnd(); ++lines) {
        const QList<QByteArray> fields = file.readLine(4096).simplified().split(' ');
        if (fields.size() < 8)
            continue;
        bool ok[5];
        const quint32 destination = fields[1].toUInt(&ok[0], 16);
        const quint32 gateway = fields[2].toUInt(&ok[1], 16);
        const uint flags = fields[3].toUInt(&ok[2], 16);
        const quint32 metric = fields[6].toUInt(&ok[3]);
        const quint32 mask = fields[7].toUInt(&ok[4], 16);
        if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4]) || gateway == 0 ||
            (flags & (RouteUp | RouteGateway)) != (RouteUp | RouteGateway))
            continue;
        routes.append({QString::fromLatin1(fields[0].left(15)), qFromBigEndian(gateway),
                       destination == 0 && mask == 0, metric});
    }
    return routes;
}
#endif

#ifdef Q_OS_WIN
QList<GatewayRoute> WindowsGateways()
{
    QList<GatewayRoute> routes;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_INET,
            GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return routes;
    for (auto adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter;
         adapter = adapter->Next) {
        for (auto gateway = adapter->FirstGatewayAddress; gateway; gateway = gateway->Next) {
            const SOCKADDR *address = gateway->Address.lpSockaddr;
            if (!address || address->sa_family != AF_INET)
                continue;
            const auto in = reinterpret_cast<const sockaddr_in *>(address);
            routes.append({QString(), qFromBigEndian<quint32>(in->sin_addr.s_addr), true,
                           quint32(adapter->Ipv4Metric)});
        }
    }
    return routes;
}
#endif
} // namespace

QList<GatewayRoute> SystemGateways()
{
#if defined(Q_OS_LINUX)
    return LinuxGateways();
#elif defined(Q_OS_WIN)
    return WindowsGateways();
#else
    return {};
#endif
}

void SetGatewayLister(GatewayLister lister)
{
    installedLister.store(lister);
}

quint32 GatewayOf(quint32 address, quint32 netmask, const QString &interfaceName)
{
    const GatewayLister lister = installedLister.load();
    const QList<GatewayRoute> routes = lister ? lister() : SystemGateways();
    const GatewayRoute *best = nullptr;
    const auto rank = [&interfaceName](const GatewayRoute &route) {
        return std::make_tuple(!route.isDefault,
                               !interfaceName.isEmpty() && route.interfaceName != interfaceName,
                               route.metric);
    };
    for (const GatewayRoute &route : routes) {
        if ((route.gateway & netmask) != (address & netmask) || route.gateway == address)
            continue;
        if (!best || rank(route) < rank(*best))
            best = &route;
    }
    return best ? best->gateway : 0;
}
