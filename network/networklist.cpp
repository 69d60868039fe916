#include "network/networklist.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>

#include <algorithm>
#include <atomic>

namespace {
std::atomic<InterfaceLister> installedLister{nullptr};
}

QList<NetworkAddress> SystemNetworkAddresses()
{
    QList<NetworkAddress> addresses;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const bool loopback = interface.flags().testFlag(QNetworkInterface::IsLoopBack);
        const bool virtualInterface =
            interface.type() == QNetworkInterface::Virtual ||
            interface.flags().testFlag(QNetworkInterface::IsPointToPoint) ||
            IsVirtualInterface(interface.humanReadableName());
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries)
            addresses.append(
                {entry.ip(), entry.netmask(), loopback, interface.name(), virtualInterface});
    }
    return addresses;
}

void SetInterfaceLister(InterfaceLister lister)
{
    installedLister.store(lister);
}

QString NetworkEntryText(const QHostAddress &ip, const QHostAddress &netmask)
{
    return QStringLiteral("%1 / %2").arg(ip.toString(), netmask.toString());
}

QList<NetworkAddress> ScannableNetworks()
{
    const InterfaceLister lister = installedLister.load();
    const QList<NetworkAddress> addresses = lister ? lister() : SystemNetworkAddresses();
    QList<NetworkAddress> scannable;
    for (const NetworkAddress &address : addresses) {
        if (address.netmask.isNull())
            continue;
        if (address.loopback || address.ip.isLoopback())
            continue;
        if (address.ip.protocol() != QAbstractSocket::IPv4Protocol ||
            address.netmask.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        scannable.append(address);
    }
    return scannable;
}

QStringList NetworkEntries()
{
    QStringList entries;
    for (const NetworkAddress &address : ScannableNetworks())
        entries.append(NetworkEntryText(address.ip, address.netmask));
    return entries;
}

bool IsVirtualInterface(const QString &name)
{
    static const char *const prefixes[] = {"docker", "br-", "virbr", "vboxnet", "vmnet", "lxcbr",
                                           "lxdbr", "incusbr", "podman", "cni", "veth", "tun",
                                           "tap", "wg",
                                           // Windows' descriptions
                                           "vEthernet", "VirtualBox", "VMware"};
    if (name == QLatin1String("lo"))
        return true;
    for (const char *prefix : prefixes)
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    return false;
}

QList<NetworkAddress> MachineNetworks()
{
    QList<NetworkAddress> networks;
    for (const NetworkAddress &address : ScannableNetworks()) {
        if (address.virtualInterface || IsVirtualInterface(address.interfaceName))
            continue;
        const quint32 mask = address.netmask.toIPv4Address();
        const bool known = std::any_of(
            networks.begin(), networks.end(), [&address, mask](const NetworkAddress &network) {
                return network.netmask.toIPv4Address() == mask &&
                       (network.ip.toIPv4Address() & mask) == (address.ip.toIPv4Address() & mask);
            });
        if (!known)
            networks.append(address);
    }
    return networks;
}
