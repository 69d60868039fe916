#include "scan/hostrecord.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <utility>

bool operator==(const HostRecord &a, const HostRecord &b)
{
    return a.mac == b.mac && a.webServer == b.webServer && a.secureWebServer == b.secureWebServer;
}

bool operator!=(const HostRecord &a, const HostRecord &b)
{
    return !(a == b);
}

quint32 HostKey(quint32 hostOrderAddress)
{
    return qToBigEndian(hostOrderAddress);
}

quint32 HostOrderAddress(quint32 key)
{
    return qFromBigEndian(key);
}

QString AddressText(quint32 key)
{
    unsigned char octets[4];
    std::memcpy(octets, &key, sizeof octets);
    return QStringLiteral("%0.%1.%2.%3")
        .arg(octets[0], 0, 10, QLatin1Char(' '))
        .arg(octets[1], 0, 10, QLatin1Char(' '))
        .arg(octets[2], 0, 10, QLatin1Char(' '))
        .arg(octets[3], 0, 10, QLatin1Char(' '));
}

std::vector<quint32> KeysInAddressOrder(const HostMap &hosts)
{
    std::vector<quint32> keys;
    keys.reserve(hosts.size());
    for (const auto &entry : hosts)
        keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end(),
              [](quint32 a, quint32 b) { return HostOrderAddress(a) < HostOrderAddress(b); });
    return keys;
}

void KeepKnownNames(HostMap &latest, const HostMap &earlier)
{
    for (auto &[key, record] : latest) {
        const auto known = earlier.find(key);
        if (known == earlier.end() || known->second.mac != record.mac)
            continue;
        HostNames &names = record.names;
        const HostNames &before = known->second.names;
        bool kept = false;
        for (auto [now, then] :
             {std::pair{&names.dns, &before.dns}, std::pair{&names.mdns, &before.mdns},
              std::pair{&names.netbios, &before.netbios}}) {
            if (now->isEmpty() && !then->isEmpty()) {
                *now = *then;
                kept = true;
            }
        }
        if (kept)
            record.name = ShownName(names);
    }
}
