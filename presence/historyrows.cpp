#include "presence/historyrows.h"

namespace presence {

std::vector<HistoryRow> HistoryRows(const std::vector<Device> &devices, const CommentMap &comments,
                                    const MakerIndex &makers, const HostPlace &place)
{
    std::vector<HistoryRow> rows;
    rows.reserve(devices.size());
    for (const Device &device : devices)
        rows.push_back({MakeHostRow(device.key, device.record, comments, makers, place),
                        device.firstSeen, device.lastSeen, device.present});
    return rows;
}

} // namespace presence
