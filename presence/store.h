#pragma once

#include "network/ipv4network.h"
#include "scan/hostrecord.h"
#include "scan/identification.h"

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

// The presence history: every device each network has shown, and the changes
// only (a device new to the network, back, gone, at another address, an
// address answering with another card), in one SQLite file per user that the
// window and trelvan-list share. The presence rule decides the changes inside
// the transaction that records a scan, against what the file holds, so that
// two programs recording the same network at once record each change once.
namespace presence {

// The rule. A device has left once it has missed every scan for at least
// LeaveAfterMs and at least LeaveAfterScans scans in a row: a phone that
// dozes through one scan neither leaves nor comes back.
constexpr qint64 LeaveAfterMs = 60 * 1000;
constexpr int LeaveAfterScans = 3;
// Events older than this go, and so do devices absent for as long.
constexpr qint64 KeepHistoryMs = 400LL * 24 * 60 * 60 * 1000;
// A scan that its network's gateway did not answer belongs to the network
// of the same addresses recorded this recently; later ones are not recorded.
// So does one whose gateway answered with a card of no network known before:
// no machine goes from one network to another of the same addresses in a
// minute, but a neighbour answering for the gateway changes it at each scan.
constexpr qint64 GatewayGraceMs = 60 * 1000;

// The bounds that keep one neighbour from filling the history. After a
// network's first scan, at most NewCardsPerScan cards it never showed are
// recorded per scan, and NewCardsPerHour in any hour; the others are shown
// but not stored, and one Flood change an hour says how many were refused.
constexpr int NewCardsPerScan = 16;
constexpr int NewCardsPerHour = 64;
constexpr qint64 FloodEveryMs = 60 * 60 * 1000;
// A card seen in one scan only goes once it has been absent this long; past
// CardsPerNetwork cards on a network, the least recently seen goes first. A
// card with a comment never goes.
constexpr qint64 OneScanCardMs = 24LL * 60 * 60 * 1000;
constexpr int CardsPerNetwork = 4096;
// A Conflict change of one address at most this often.
constexpr qint64 ConflictEveryMs = 60 * 60 * 1000;
// A GatewayChanged change of one network at most this often.
constexpr qint64 GatewayChangedEveryMs = 60 * 60 * 1000;
// The cards bearing one name a record reads to link a new private card.
constexpr int NamesakesRead = 16;
// A private card first seen this recently, and not linked yet, is linked
// to its device at the scan that brings a strong signal it lacked at
// first: what its host announced comes with an identification round,
// after the scan that showed it (one at most every five minutes).
constexpr qint64 LinkWithinMs = 10 * 60 * 1000;
// The IPv6 addresses kept per card.
constexpr int MaxIpv6 = 8;

// A hardware address, as the scan reported it.
using Mac = std::vector<unsigned char>;

// What tells one network from another: its addresses and the card of its
// gateway, so that a laptop's home and café 192.168.1.0/24 keep two
// histories. A network without a gateway is its addresses alone.
struct NetworkKey
{
    QString cidr;   // "198.51.100.0/24"
    Mac gatewayMac; // empty where the network has no gateway
};
bool operator==(const NetworkKey &a, const NetworkKey &b);

enum class ChangeKind
{
    New,            // a card this network never showed
    Arrived,        // a known card back
    Left,           // gone, by the rule
    AddressChanged, // the same card at another address
    MacChanged,     // the same address answered by another card (that card
                    // takes its place; the one before leaves without a Left)
    Flood,          // a flood of never-seen cards was refused on this network;
                    // Change::count says how many this hour
    GatewayChanged, // the gateway's address answered with another card;
                    // record.mac the new card, previousMac the old
    Conflict,       // two cards answered for one address in one scan; key the
                    // address, record.mac one card, previousMac the other
    Forgotten,      // a card that went from the store, aged out, evicted or
                    // forgotten by the user; record.mac the card
    CardLinked,     // a new private card linked to a known device by a name
                    // its owner chose, or a card the user linked to a device
                    // (signalKind "user"); record.mac the card, previousMac
                    // the device's card that bore the name (the card the user
                    // chose), device the device
    CardUnlinked,   // a card the user made a device of its own; record.mac
                    // the card, device (and previousMac) the device it left
};
// "new", "arrived", "left", "address-changed", "mac-changed", "flood",
// "gateway-changed", "conflict", "forgotten", "card-linked", "card-unlinked".
QString KindName(ChangeKind kind);

// One finished scan, as a front end hands it over.
struct ScanResult
{
    // The network scanned, as it was when the scan began: the machine's own
    // address on it, its netmask, its interface and its gateway (0: none).
    Ipv4Network network;
    HostMap hosts;
    qint64 time = 0; // when it ended (Now()); 0: when it is recorded
};

struct Change
{
    qint64 id = 0; // increasing with time in one store
    ChangeKind kind = ChangeKind::New;
    qint64 time = 0; // the scan that showed it (ms since 1970, UTC)
    NetworkKey network;
    quint32 key = 0;   // the HostMap key of its address
    HostRecord record; // the card, the ports and names as last seen
    // A card the network never showed: a New change, or a MacChanged one
    // whose new card is new.
    bool newDevice = false;
    Mac previousMac;         // MacChanged: the card before
    quint32 previousKey = 0; // AddressChanged: the address before
    int count = 0;           // Flood: how many unknown cards were refused
    // CardLinked: the device (its first card) and the name that linked the
    // card, with its kind ("mdns", "netbios"; "user" and no name where the
    // user linked it). CardUnlinked: the device the card left.
    Mac device;
    QString signalKind;
    QString signal;
};

struct ScanChanges
{
    NetworkKey network;
    // False when the network could not be told (its gateway did not answer
    // and none of the same addresses was recorded lately): nothing changed.
    bool known = false;
    bool firstScan = false; // the store had never seen this network
    bool written = false;   // in the file; false: kept in memory meanwhile
    // This network's changes since this store's last Record of it, in order:
    // the ones this scan made and the ones other programs recorded meanwhile.
    std::vector<Change> changes;
    // keys of this scan's hosts whose cards the flood bound kept out of the
    // store: shown, never stored, published or notified
    std::vector<quint32> unrecorded;
    // Empty, or what to show: "Historique non enregistré : ..." while the file
    // cannot be written, and once the notice that a damaged file was set aside.
    QString status;
};

struct Device
{
    NetworkKey network;
    quint32 key = 0;   // its last address
    HostRecord record; // card, ports and names as last seen
    qint64 firstSeen = 0;
    qint64 lastSeen = 0;
    // Present at the network's last scan, when that was less than
    // LeaveAfterMs ago: with nobody scanning, nobody is known to be there.
    bool present = false;
    qint64 since = 0; // the change that made it present or absent
    // The device this card is a card of (its first card), and every card of
    // that device on the network, the last seen first.
    Mac device;
    std::vector<Mac> macs;
};

// How a store waits and what it keeps.
struct StoreOptions
{
    // How long a write waits for another program holding the file; after a
    // write that waited in vain, the next ones do not wait until one goes
    // through, so that a program waits this long in all, not at each call.
    int busyTimeoutMs = 5000;
    // The cards that never go (those with a comment); by default read from
    // the comment store when a card is about to go.
    std::function<std::set<std::vector<unsigned char>>()> keptCards;
};

// The store of one file. Every call comes from the thread that made it (it
// holds a Qt Sql connection); a program may make one per thread. A failing
// file never throws and never stops anything: Record then keeps the
// history in memory and writes it at the first scan the file takes again.
class Store
{
public:
    // presence.sqlite in the user's data folder of this machine (QStandardPaths'
    // AppLocalDataLocation: ~/.local/share/Dantrix/Trelvan/ on Linux,
    // %LOCALAPPDATA%\Dantrix\Trelvan\ on Windows, not the roaming profile a
    // domain copies from machine to machine).
    static QString DefaultFileName();

    explicit Store(const QString &fileName = DefaultFileName(),
                   StoreOptions options = StoreOptions());
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    QString FileName() const;

    // Records a scan and returns its network's changes.
    ScanChanges Record(const ScanResult &scan);

    // The network of these addresses that was scanned last.
    std::optional<NetworkKey> LatestNetwork(const QString &cidr);
    // Every device of a network, present ones first, then the last seen first.
    std::vector<Device> Devices(const NetworkKey &network);
    // Every device of every network, the last seen first.
    std::vector<Device> AllDevices();
    // Removes a device and its events, and records a Forgotten change that
    // every program recording the network reports; false when it failed or
    // was not there.
    bool Forget(const NetworkKey &network, const Mac &mac);
    // The user's word on which cards are one device. Merge makes every card
    // of other's device a card of device's (each a card of its device, any
    // of them), one CardLinked change per card moved (signal kind "user",
    // previousMac device); linked, where given, receives them. Split makes a
    // card a device of its own, a CardUnlinked change. Each in one
    // transaction; false when it failed or had nothing to do: a card not on
    // the network (merging across networks), a device merged with itself, a
    // card alone in its device.
    bool Merge(const NetworkKey &network, const Mac &device, const Mac &other,
               std::vector<Change> *linked = nullptr);
    bool Split(const NetworkKey &network, const Mac &mac);

    // What the identification learnt of cards (at time, 0: now), kept while
    // the card is in some network; each device read carries its card's.
    // False when it could not be written (kept in memory while the scans
    // are).
    bool SaveIdentities(const CardIdentities &identities, qint64 time = 0);
    // Everything learnt of every card.
    CardIdentities Identities();

    // The status of the last call: empty, or why the file is not written.
    QString Status() const;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace presence
