#pragma once

#include <QHostAddress>
#include <QList>
#include <QStringList>

// One address entry of one of the machine's network interfaces.
struct NetworkAddress
{
    QHostAddress ip;
    QHostAddress netmask;
    bool loopback = false; // the entry belongs to a loopback interface
    QString interfaceName; // "eth0"; empty where the lister does not say
};

// Lists the address entries of every interface, interface by interface, in
// the order the system gives them.
using InterfaceLister = QList<NetworkAddress> (*)();

// The machine's own interfaces, through QNetworkInterface.
QList<NetworkAddress> SystemNetworkAddresses();

// Replaces the listing for every later call of NetworkEntries (tests fill it
// with interfaces of their own); nullptr restores the system's.
void SetInterfaceLister(InterfaceLister lister);

// "192.168.1.10 / 255.255.255.0": the picker's text for one network.
QString NetworkEntryText(const QHostAddress &ip, const QHostAddress &netmask);

// The picker's entries, in interface order, neither sorted nor de-duplicated:
// every IPv4 entry with a netmask that is not on a loopback interface. A
// loopback entry would launch a scan of millions of addresses, and the scan
// works on IPv4 only.
QStringList NetworkEntries();

// The address entries behind NetworkEntries, in the same order.
QList<NetworkAddress> ScannableNetworks();
