#include "network/networklist.h"

#include <QNetworkAddressEntry>
#include <QNetworkInterface>

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
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries)
            addresses.append({entry.ip(), entry.netmask(), loopback, interface.name()});
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
