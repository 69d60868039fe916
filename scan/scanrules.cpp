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

std::vector<std::vector<std::size_t>> ScanBatches(const std::vector<QHostAddress> &netmasks)
{
    std::vector<std::vector<std::size_t>> batches;
    quint64 addresses = 0;
    for (std::size_t i = 0; i < netmasks.size(); ++i) {
        if (TooWideToScan(netmasks[i]))
            continue;
        const quint64 count = AddressCount(netmasks[i]);
        if (batches.empty() || addresses + count > MaxScanAddresses) {
            batches.emplace_back();
            addresses = 0;
        }
        batches.back().push_back(i);
        addresses += count;
    }
    return batches;
}
