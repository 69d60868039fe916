#pragma once

#include "lister/networkchoice.h"
#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "scan/scanrules.h"
#include "scan/scansession.h"

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
// meanwhile) to out, one line each, as EventText or with json as one line of
// JSON: each network's first scan's hosts as "appeared" with "new": false,
// then "appeared" (a new card, "new": true, or one back), "left",
// "address-changed", "mac-changed" and the store's other kinds; as an
// identification round of a network ends (at its first scan, then every
// Identification::kNetworkPeriodMs), "identified" for each card whose type
// or model it changed (identifying.h), what it learnt kept in the store.
// Until a stop
// signal, until nobody reads out or until the sink fails. With a program,
// runs it for each change with its JSON line (EventCommand); with a sink,
// hands it the devices and the JSON lines. The store's troubles go to err,
// once each, and so does each change's ChangeNote. Returns the exit status;
// sets *abandoned as Run does. periodMs is the rescan period (tests shorten it).
int RunWatch(const NetworkChoices &named, bool every, bool json, const MakerIndex &makers,
             std::FILE *out, std::FILE *err, std::FILE *progress, const QString &program,
             PresenceSink *sink, bool *abandoned, int periodMs = RescanPeriodSecs * 1000);

// One change as its line of JSON: the host's fields (network and interface
// those of place), event, time and the keys of its kind; a flood, which
// names no host, has its count, network and interface only.
QJsonObject EventJson(const presence::Change &change, const CommentMap &comments,
                      const MakerIndex &makers, const HostPlace &place);

// One change as a person reads it, on one line with its line break: the
// local time, the event in French (nouveau, arrivé, parti, changement
// d'adresse, changement de carte, inconnus ignorés, passerelle changée,
// conflit, oublié), the address, the MAC, the maker, the name, the comment
// in quotes and what the card or address was before:
//   14:02:11  nouveau    198.51.100.7     DC:A6:32:01:02:07  Raspberry Pi Trading Ltd  raspi-4
// A flood gives its count and network instead of a host. Names, makers and
// comments from elsewhere are shown as a terminal can take them (TerminalText).
QString EventText(const presence::Change &change, const CommentMap &comments,
                  const MakerIndex &makers, const HostPlace &place);

// What a change also says on standard error, or empty: "N appareils inconnus
// ignorés sur RÉSEAU" for a flood, "Conflit d'adresse : ADRESSE revendiquée
// par MAC1 et MAC2" for a conflict. network is the network's CIDR.
QString ChangeNote(const presence::Change &change, const QString &network);

// A finished scan as the presence store takes it, the gateway its network
// had when the scan began.
presence::ScanResult ScanOf(const ScannedNetwork &scanned);

} // namespace lister
