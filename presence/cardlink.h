#pragma once

#include "presence/rule.h"
#include "results/commentstore.h"

#include <QString>

#include <map>
#include <optional>

// A card with a private (locally administered) MAC that is new on a network
// belongs to a device the network knows when the host gives a name its owner
// chose, and exactly one device of the network bears it. A name a maker or
// a system gives by default ("iPhone", "DESKTOP-…") is never strong, nor one
// two devices share.
namespace presence {

// A card's device: its first card.
Mac DeviceOf(const Card &card);
// Bit 0x02 of the first byte.
bool PrivateMac(const Mac &mac);
// A name a maker or a system gives by default (case-insensitive, without a
// trailing ".local").
bool DefaultName(const QString &name);

// The key of a strong name of a kind ("mdns", "netbios"): lower case,
// without ".local"; empty where the name is not strong.
QString SignalKey(const QString &kind, const QString &name);

// The names the scan's hosts gave, by kind and key, and how many hosts gave
// each.
using ScanSignals = std::map<std::pair<QString, QString>, int>;
ScanSignals SignalsOf(const HostMap &hosts);

struct Link
{
    Mac device;
    Mac previousMac; // the device's card last seen bearing the name
    QString signalKind;
    QString signal; // the name, as the host gave it
};

// The device a new card of the scan belongs to, among the cards the store
// read (known.cards and known.namesakes), where one device only bears one
// of the host's own names, no other host of the scan gives that name and no
// card of that device answered this scan.
std::optional<Link> LinkOf(const HostRecord &host, const Known &known, const ScanSignals &given,
                           const std::set<Mac> &seen);

// The comment follows the device: writes under each card a change linked
// the comment of the device's card before, where the new card has none;
// true where comments changed (the store's format stays as it is).
bool CommentsFollow(const std::vector<Change> &changes, CommentMap &comments);

// The first strong name of names, as a kind ("mdns", "netbios") and the
// name; empty where none is.
std::pair<QString, QString> StrongName(const HostNames &names);

// "mDNS", "NetBIOS", "choix de l'utilisateur": a signal's kind as a user
// reads it.
QString SignalKindText(const QString &kind);

} // namespace presence
