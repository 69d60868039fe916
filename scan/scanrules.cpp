#include "scan/scanrules.h"

quint64 AddressCount(const QHostAddress &netmask)
{
    int hostBits = 0;
    for (quint32 bits = ~netmask.toIPv4Address(); bits; bits &= bits - 1)
        ++hostBits;
    return quint64(1) << hostBits;
}

bool TooWideToScan(const QHostAddress &netmask)
{
    return AddressCount(netmask) > MaxScanAddresses;
}
