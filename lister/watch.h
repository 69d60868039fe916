#pragma once

#include "lister/networkchoice.h"
#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"
#include "results/hostrow.h"

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <vector>

namespace lister {

// Where a watch also sends the presence it records (MQTT, mqttsink.h).
class PresenceSink
{
public:
    virtual ~PresenceSink() = default;
    // After each recorded scan of a network, every device the store knows
    // there, present or not by the presence rule; when the network is no
    // longer watched, once more with none present.
    virtual void SetDevices(const std::vector<presence::Device> &devices, const HostPlace &place,
                            const CommentMap &comments, const MakerIndex &makers) = 0;
    // Each event, as its line.
    virtual void PublishEvent(const QJsonObject &event) = 0;
    // Why the watch must end (exit status 1); empty while it may go on.
    virtual QString Failure() const = 0;
};

// Scans the networks named (and with every, the machine's, as they are at
// each round: a network that comes is watched, one that goes is no more)
// every RescanPeriodSecs, those the scan's rules allow at the same time,
// records each scan in the presence store and writes each change the
// presence rule finds (this program's and those another program records
// meanwhile) to out as one line of JSON: each network's first scan's hosts
// as "appeared" with "new": false (but those the flood bound kept out), then
// "appeared" (a new card, "new": true, or one back), "left",
// "address-changed", "mac-changed", "flood" (the network and "count" only),
// "gateway-changed" ("previous_mac" the gateway's own card), "conflict"
// ("other_mac" the other card) and "forgotten", each flood and conflict
// also said on err (ChangeNote). Until a
// stop signal, until nobody reads out or until the sink fails. With a
// program, runs it for each line (EventCommand); with a sink, hands it the
// devices and the lines. The store's troubles go to err, once each.
// Returns the exit status; sets *abandoned as Run does.
int RunWatch(const NetworkChoices &named, bool every, const MakerIndex &makers, std::FILE *out,
             std::FILE *err, std::FILE *progress, const QString &program, PresenceSink *sink,
             bool *abandoned);

// One change as its line of JSON: the host's fields (network and interface
// those of place), event, time and the keys of its kind.
QJsonObject EventJson(const presence::Change &change, const CommentMap &comments,
                      const MakerIndex &makers, const HostPlace &place);

// What standard error says once of a change, or nothing: "N appareils
// inconnus ignorés sur RÉSEAU" (a flood), "Conflit d'adresse : ADRESSE
// revendiquée par MAC1 et MAC2" (a conflict).
QString ChangeNote(const presence::Change &change, const HostPlace &place);

// The scan as the presence store takes it.
presence::ScanResult ScanOf(const NetworkChoice &network, const HostMap &hosts);

} // namespace lister
