#include "presence/historyrows.h"

#include "results/hosttext.h"

#include <algorithm>
#include <map>

namespace presence {

std::vector<HistoryRow> HistoryRows(const std::vector<Device> &devices, const CommentMap &comments,
                                    const MakerIndex &makers, const HostPlace &place)
{
    std::vector<HistoryRow> rows;
    rows.reserve(devices.size());
    for (const Device &device : devices) {
        QStringList macs;
        for (const Mac &mac : device.macs)
            macs.append(MacToText(mac));
        if (macs.isEmpty())
            macs.append(MacToText(device.record.mac));
        rows.push_back({MakeHostRow(device.key, device.record, comments, makers, place),
                        device.firstSeen, device.lastSeen, device.present, macs});
    }
    return rows;
}

std::vector<Device> OnePerDevice(const std::vector<Device> &devices)
{
    std::vector<Device> one;
    std::map<std::pair<QString, Mac>, std::size_t> taken; // by network and device
    for (const Device &device : devices) {
        const Mac key = device.device.empty() ? device.record.mac : device.device;
        const auto [at, added] = taken.emplace(std::pair{device.network.cidr, key}, one.size());
        if (added) {
            one.push_back(device);
            continue;
        }
        Device &kept = one[at->second];
        kept.present = kept.present || device.present;
        kept.firstSeen = std::min(kept.firstSeen, device.firstSeen);
    }
    return one;
}

} // namespace presence
