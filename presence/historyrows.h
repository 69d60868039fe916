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

} // namespace presence
