#pragma once

#include "presence/store.h"

#include <vector>

namespace presence {

// One card as an agent shows it when it has seen it on several of its
// networks (a router with one card on every VLAN): the device of a network
// where it is present, else of the one where it was seen last (the first of
// seen on a tie), first seen when any network first saw it. seen is not
// empty.
Device MergedDevice(const std::vector<Device> &seen);

} // namespace presence
