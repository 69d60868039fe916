#pragma once

#include "lister/networkchoice.h"
#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"

#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace lister {

// Scans network every RescanPeriodSecs, records each scan in the presence
// store and writes each change the presence rule finds (this program's and
// those another program records meanwhile) to out as one line of JSON: the
// first scan's hosts as "appeared" with "new": false, then "appeared" (a new
// card, "new": true, or one back), "left", "address-changed" and
// "mac-changed". Until a stop signal or until nobody reads out. With a
// program, runs it for each line (EventCommand). The store's troubles go to
// err, once each. Returns the exit status; sets *abandoned as Run does.
int RunWatch(const NetworkChoice &network, const MakerIndex &makers, std::FILE *out, std::FILE *err,
             std::FILE *progress, const QString &program, bool *abandoned);

// One change as its line of JSON: the host's fields, event, time and the
// keys of its kind.
QJsonObject EventJson(const presence::Change &change, const CommentMap &comments,
                      const MakerIndex &makers);

// The scan as the presence store takes it.
presence::ScanResult ScanOf(const NetworkChoice &network, const HostMap &hosts);

} // namespace lister
