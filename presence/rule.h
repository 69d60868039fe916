#pragma once

#include "presence/store.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <map>
#include <optional>
#include <set>
#include <vector>

// The presence rule on its own: what the store knows of a network before a
// scan, and the scan, make the rows to write and the changes to record. No
// file, no clock and no route is read here; the store reads what Decide
// needs, and writes what it decides, in one transaction.
namespace presence {

// A card of a network, as the store holds it.
struct Card
{
    Mac mac;
    qint64 firstSeen = 0;
    qint64 lastSeen = 0;
    quint32 address = 0; // host order
    HostNames names;
    QString name;
    int web = 0; // 0 none, 1 http, 2 https
    bool present = false;
    qint64 since = 0;
    int missed = 0;
    Mac device;       // the device's first card; empty: this card
    QStringList ipv6; // its last IPv6 addresses, link-local first
    // The DNS-SD and UPnP signals (kind, key) its host gave, where read to
    // link a new card.
    std::set<std::pair<QString, QString>> signalKeys;
    bool changed = false; // to be written
    bool stored = false;  // read from the store, not new
};

// A change to record, as the rule makes it.
struct Event
{
    ChangeKind kind = ChangeKind::New;
    Mac mac;
    quint32 address = 0; // host order
    Mac previousMac;
    std::optional<quint32> previousAddress;
    int count = 0;
    // CardLinked: the name that linked the card, and its kind ("mdns",
    // "netbios").
    QString signalKind = QString();
    QString signal = QString();
};

// What the store knows of the scanned network before the scan.
struct Known
{
    bool firstScan = false; // the store had never seen this network
    qint64 networkFirstScan = 0;
    // The cards present before, and those of the scan's cards the network
    // showed before (present or not): never every card.
    std::map<Mac, Card> cards;
    // The network's other cards that bear a name a new private card of the
    // scan gives (at most NamesakesRead a name).
    std::map<Mac, Card> namesakes;
    // The network's cards first seen since max(time - FloodEveryMs,
    // networkFirstScan); not read at the first scan.
    int recentNewCards = 0;
    // A Flood change was recorded within FloodEveryMs.
    bool floodTold = false;
    // The addresses (host order) of Conflict changes recorded within
    // ConflictEveryMs.
    std::set<quint32> conflictsTold;

    // Where another card answered for the gateway's address than the one
    // the network was first known by: its own card, which that answer
    // neither replaces nor sends away, the gateway's key, the card that
    // answered, the one that answered last, and whether a GatewayChanged
    // change was recorded within GatewayChangedEveryMs.
    Mac ownGateway;
    quint32 gatewayKey = 0;
    Mac gatewayAnswered;
    Mac gatewayNow;
    bool gatewayChangedTold = false;
};

// What the rule decided.
struct Decision
{
    std::vector<Card> cards; // the rows to write (changed ones only)
    std::vector<Event> events;
    // keys of the scan's hosts that the flood bound kept out of the store
    std::vector<quint32> unrecorded;
    // The cards of the scan (and the network's own gateway, where another
    // answered for it): never evicted by it.
    std::set<Mac> seen;
    int admitted = 0; // cards new to the network that were taken
    // The card now answering for the gateway's address, where it changed.
    std::optional<Mac> gatewayNow;
};

// The rule, on a scan that ended at time.
Decision Decide(const Known &known, const ScanResult &scan, qint64 time);

} // namespace presence
