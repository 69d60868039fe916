#include "scan/scanrules.h"

#include "platform/netmask.h"

quint64 AddressCount(const QHostAddress &netmask)
{
    return quint64(1) << (32 - platform::PrefixLength(netmask.toIPv4Address()));
}

bool TooWideToScan(const QHostAddress &netmask)
{
    return AddressCount(netmask) > MaxScanAddresses;
}
