#include "presence/clock.h"

#include <QDateTime>

#include <atomic>

namespace presence {

namespace {
std::atomic<Clock> installedClock{nullptr};
}

qint64 Now()
{
    const Clock clock = installedClock.load();
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void SetClock(Clock clock)
{
    installedClock.store(clock);
}

} // namespace presence
