#include "presence/mergeddevice.h"

#include <algorithm>
#include <utility>

namespace presence {

Device MergedDevice(const std::vector<Device> &seen)
{
    const Device *best = &seen.front();
    for (const Device &device : seen) {
        if (std::make_pair(device.present, device.lastSeen) >
            std::make_pair(best->present, best->lastSeen))
            best = &device;
    }
    Device merged = *best;
    for (const Device &device : seen)
        merged.firstSeen = std::min(merged.firstSeen, device.firstSeen);
    return merged;
}

} // namespace presence
