#pragma once

#include <QtGlobal>

// The presence rule's clock: milliseconds since 1970 (UTC). Tests put one of
// their own here to wait out the rule without sleeping.
namespace presence {

using Clock = qint64 (*)();

qint64 Now();
// Replaces the clock for every later call; nullptr restores the system's.
void SetClock(Clock clock);

} // namespace presence
