#pragma once

#include "network/ipv4network.h"

#include <QList>
#include <QStringList>

// One address entry of one of the machine's network interfaces: its network
// (the gateway not read), and what the listing says of the interface.
struct NetworkAddress : Ipv4Network
{
    bool loopback = false; // the entry belongs to a loopback interface
    // The system calls its interface virtual (a tunnel) or point-to-point
    // (a VPN, a modem's link): no LAN of neighbours to ask. Its name may
    // tell more (IsVirtualInterface).
    bool virtualInterface = false;
};

// Lists the address entries of every interface, interface by interface, in
// the order the system gives them.
using InterfaceLister = QList<NetworkAddress> (*)();

// The machine's own interfaces, through QNetworkInterface.
QList<NetworkAddress> SystemNetworkAddresses();

// Replaces the listing for every later call of NetworkEntries (tests fill it
// with interfaces of their own); nullptr restores the system's.
void SetInterfaceLister(InterfaceLister lister);

// The picker's entries, in interface order, neither sorted nor de-duplicated:
// every IPv4 entry with a netmask that is not on a loopback interface. A
// loopback entry would launch a scan of millions of addresses, and the scan
// works on IPv4 only.
QStringList NetworkEntries();

// The address entries behind NetworkEntries, in the same order.
QList<NetworkAddress> ScannableNetworks();

// True for an interface that leads to no LAN of its own but to containers,
// virtual machines or a tunnel, by its name: loopback (lo), container and
// VM bridges (docker*, br-*, virbr*, vboxnet*, vmnet*, lxcbr*, lxdbr*,
// incusbr*, podman*, cni*) and their veth ends (veth*), tunnels (tun*, tap*,
// wg*); on Windows, by its description: Hyper-V's "vEthernet (...)",
// VirtualBox's and VMware's adapters. A real LAN's bridge (br0) is none.
bool IsVirtualInterface(const QString &name);

// What "every network of the machine" means (trelvan-list --tous): the
// entries of ScannableNetworks but those of virtual interfaces (the system's
// word or IsVirtualInterface), one entry per network (the first address of
// the machine on it), in interface order. A network too wide to scan is
// still listed: the scan's rules refuse it (scan/scanrules.h).
QList<NetworkAddress> MachineNetworks();
