#include "scan/ipv6join.h"

#include <QHostAddress>

#include <algorithm>
#include <map>
#include <tuple>

namespace {

using Address = std::array<unsigned char, 16>;
using Mac = std::array<unsigned char, 6>;

bool IsHostAddress(const Address &address)
{
    if (address[0] == 0xff)
        return false; // multicast
    // ::, ::1, and the IPv4-compatible and -mapped forms all begin with ten
    // zero bytes.
    return !std::all_of(address.begin(), address.begin() + 10,
                        [](unsigned char byte) { return byte == 0; });
}

bool IsHostMac(const Mac &mac)
{
    return !(mac[0] & 0x01) &&
           !std::all_of(mac.begin(), mac.end(), [](unsigned char byte) { return byte == 0; });
}

bool IsLinkLocal(const Address &address)
{
    return address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
}

} // namespace

void JoinIpv6(HostMap &hosts, const std::vector<platform::Ipv6Neighbour> &rows)
{
    // Each MAC's addresses, each address once, with its freshest age.
    std::map<Mac, std::map<Address, std::uint32_t>> byMac;
    const std::size_t count = std::min(rows.size(), platform::kMaxIpv6Neighbours);
    for (std::size_t index = 0; index < count; ++index) {
        const platform::Ipv6Neighbour &row = rows[index];
        if (!IsHostAddress(row.address) || !IsHostMac(row.mac))
            continue;
        auto [known, added] = byMac[row.mac].emplace(row.address, row.age);
        if (!added)
            known->second = std::min(known->second, row.age);
    }
    for (auto &[key, record] : hosts) {
        record.ipv6.clear();
        if (record.mac.size() != sizeof(Mac))
            continue;
        Mac mac;
        std::copy(record.mac.begin(), record.mac.end(), mac.begin());
        const auto found = byMac.find(mac);
        if (found == byMac.end())
            continue;
        std::vector<std::pair<Address, std::uint32_t>> addresses(found->second.begin(),
                                                                 found->second.end());
        std::sort(addresses.begin(), addresses.end(), [](const auto &a, const auto &b) {
            return std::make_tuple(!IsLinkLocal(a.first), a.second, a.first) <
                   std::make_tuple(!IsLinkLocal(b.first), b.second, b.first);
        });
        if (addresses.size() > kMaxIpv6PerHost)
            addresses.resize(kMaxIpv6PerHost);
        for (const auto &entry : addresses)
            record.ipv6.append(QHostAddress(entry.first.data()).toString());
    }
}
