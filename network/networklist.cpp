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
        for (const QNetworkAddressEntry &entry : entries) {
            NetworkAddress address;
            address.ip = entry.ip();
            address.netmask = entry.netmask();
            address.interfaceName = interface.name();
            address.loopback = loopback;
            address.virtualInterface = virtualInterface;
            addresses.append(address);
        }
    }
    return addresses;
}

void SetInterfaceLister(InterfaceLister lister)
{
    installedLister.store(lister);
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
        if (!address.IsIpv4())
            continue;
        scannable.append(address);
    }
    return scannable;
}

QStringList NetworkEntries()
{
    QStringList entries;
    for (const NetworkAddress &address : ScannableNetworks())
        entries.append(address.EntryText());
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
        const bool known = std::any_of(
            networks.begin(), networks.end(),
            [&address](const NetworkAddress &network) { return network.SameNetwork(address); });
        if (!known)
            networks.append(address);
    }
    return networks;
}
