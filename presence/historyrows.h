#pragma once

#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "results/listwriters.h"

#include <vector>

namespace presence {

// The rows of devices (in their order) as the history dialog and
// trelvan-list --historique show and write them: each device's row with the
// user's comment, its maker and place, when it was first and last seen and
// whether it is present.
std::vector<HistoryRow> HistoryRows(const std::vector<Device> &devices, const CommentMap &comments,
                                    const MakerIndex &makers, const HostPlace &place);

// One device each (devices of one network): the first card of each in
// devices' order, present where any of its cards is, first seen when the
// first of them was.
std::vector<Device> OnePerDevice(const std::vector<Device> &devices);

} // namespace presence
