#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The machine's IPv4 routes through a gateway, which tell one network from
// another that has the same addresses (a home's 192.168.1.0/24 and a café's).

struct GatewayRoute
{
    QString interfaceName;  // "eth0"; empty where the system does not say
    quint32 gateway = 0;    // the gateway's address, host order
    bool isDefault = false; // the route to everywhere (0.0.0.0/0)
    quint32 metric = 0;
};

using GatewayLister = QList<GatewayRoute> (*)();

// The system's routes: /proc/net/route on Linux, the adapters' gateways on
// Windows.
QList<GatewayRoute> SystemGateways();

// Replaces the listing for every later call of GatewayOf (tests give routes
// of their own); nullptr restores the system's.
void SetGatewayLister(GatewayLister lister);

// The gateway of the network of address and netmask (host order), or 0 when
// it has none: a gateway inside the network, a default route's before any
// other, the given interface's before another's, then the lowest metric.
quint32 GatewayOf(quint32 address, quint32 netmask, const QString &interfaceName);
