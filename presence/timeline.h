#pragma once

#include "presence/store.h"

#include <QString>
#include <QtGlobal>

#include <map>
#include <vector>

// A device's comings and goings over the last days, as the history's
// changes tell them: what the history dialog draws as each device's strip.
namespace presence {

// How far back the strips go.
constexpr qint64 TimelineMs = 7LL * 24 * 60 * 60 * 1000;
// At most this many changes of one network are read for them, the latest:
// a week of a flooded network stays a bounded read.
constexpr int MaxTimelineEvents = 100000;

// One change of the history as it bears on one card.
struct CardEvent
{
    qint64 time = 0;
    ChangeKind kind = ChangeKind::New;
    // A MacChanged whose card before was this one: it went then.
    bool replaced = false;
};

// A stretch of time over which a card was present, or absent.
struct PresenceSpan
{
    qint64 from = 0; // ms since 1970, included
    qint64 to = 0;   // excluded
    bool present = false;
};
bool operator==(const PresenceSpan &a, const PresenceSpan &b);

// What a card did over [from, to): spans that follow one another from from
// to to, each unlike the one before. New, Arrived and a MacChanged that
// brought the card make it present from their time; Left and a MacChanged
// that replaced it absent; AddressChanged and kinds this rule does not know
// change nothing. Before firstSeen it was absent; from firstSeen to its
// first change, whatever that change did not make it (present where it has
// none: the first scan of a network records no change). A presence that no
// change ended ends at lastSeen unless presentNow (the network was not
// scanned since). events need not be in order.
std::vector<PresenceSpan> PresenceSpans(std::vector<CardEvent> events, qint64 firstSeen,
                                        qint64 lastSeen, bool presentNow, qint64 from, qint64 to);

// The changes of every card of network over [from, to) in the store's file,
// read with a read-only connection of its own in the calling thread, oldest
// first (at most MaxTimelineEvents, the latest). Empty where the file or the
// network is not there; false with *error set where it cannot be read.
bool ReadCardEvents(const QString &fileName, const NetworkKey &network, qint64 from, qint64 to,
                    std::map<Mac, std::vector<CardEvent>> &events, QString *error = nullptr);

} // namespace presence
