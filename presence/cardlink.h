#pragma once

#include "presence/rule.h"
#include "results/commentstore.h"

#include <QString>

#include <map>
#include <optional>

// A card with a private (locally administered) MAC that is new on a network
// belongs to a device the network knows when the host gives a strong signal
// (a name its owner chose: its mDNS or NetBIOS name, a DNS-SD instance name;
// or its UPnP UDN) and exactly one device of the network bears it. A name a
// maker or a system gives by default ("iPhone", "DESKTOP-…", a printer's
// model) is never strong, nor one two devices share.
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
// The key of a DNS-SD instance name its host announced: lower case, without
// a trailing "[…]" or "(…)" (a card's address, a number); empty where it is
// a default name, or only its maker's and model's words.
QString InstanceKey(const QString &instance, const identify::Identity &identity);
// The key of a UPnP UDN: "uuid:" and at least 16 hexadecimal digits (not
// all one), lower case; empty otherwise.
QString UdnKey(const QString &udn);

// A signal's kind and key.
using SignalId = std::pair<QString, QString>;
// The strong signals of what a host's device announced ("dnssd", "upnp"),
// each once.
std::vector<SignalId> IdentitySignals(const identify::Identity &identity);

// A host's strong signals: its names, then its identity's, each once, with
// the text it gave.
struct Signal
{
    SignalId id;
    QString text;
};
std::vector<Signal> HostSignals(const HostRecord &host);

// The signals the scan's hosts gave, by kind and key, and how many hosts
// gave each.
using ScanSignals = std::map<SignalId, int>;
ScanSignals SignalsOf(const HostMap &hosts);

// Whether a card of the store not linked yet may still be linked at a scan
// at time: a private card first seen within LinkWithinMs.
bool LinksLate(const Card &card, qint64 time);

struct Link
{
    Mac device;
    Mac previousMac; // the device's card last seen bearing the name
    QString signalKind;
    QString signal; // the name, as the host gave it
};

// The device a new card of the scan belongs to, among the cards the store
// read (known.cards and known.namesakes), where one device only bears one
// of the host's own signals, no other host of the scan gives that signal
// and no card of that device answered this scan.
std::optional<Link> LinkOf(const HostRecord &host, const Known &known, const ScanSignals &given,
                           const std::set<Mac> &seen);

// The comment follows the device: writes under each card a change linked
// the comment of the device's card before, where the new card has none;
// true where comments changed (the store's format stays as it is).
bool CommentsFollow(const std::vector<Change> &changes, CommentMap &comments);

// The first strong name of names, as a kind ("mdns", "netbios") and the
// name, else of the host's DNS-SD instance names ("dnssd"); empty where
// none is.
std::pair<QString, QString> StrongName(const HostRecord &host);

// "mDNS", "NetBIOS", "DNS-SD", "UPnP", "choix de l'utilisateur": a signal's
// kind as a user reads it.
QString SignalKindText(const QString &kind);

} // namespace presence
