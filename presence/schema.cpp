#include "presence/storedb.h"

#include <iterator>

namespace presence::db {

namespace {

// Each entry takes the store from its index to the next version. A new
// version is one more entry at the end, never a change to an earlier one:
// a store of every earlier version then comes up to date step by step.
//
// Times are milliseconds since 1970 (UTC); addresses IPv4 numbers in host
// order; cards the bytes the scan reported. web: 0 none, 1 port 80, 2 port
// 443 only. A device's since is the time of the change that made it present
// or absent; missed counts the scans in a row that have not seen it.
const char *const Version1[] = {
    "CREATE TABLE networks ("
    " id INTEGER PRIMARY KEY,"
    " cidr TEXT NOT NULL,"
    " gateway_mac BLOB NOT NULL,"
    " interface TEXT NOT NULL,"
    " first_scan INTEGER NOT NULL,"
    " last_scan INTEGER NOT NULL,"
    " UNIQUE (cidr, gateway_mac))",
    "CREATE TABLE devices ("
    " network INTEGER NOT NULL REFERENCES networks (id) ON DELETE CASCADE,"
    " mac BLOB NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " address INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " dns TEXT NOT NULL,"
    " mdns TEXT NOT NULL,"
    " netbios TEXT NOT NULL,"
    " web INTEGER NOT NULL,"
    " present INTEGER NOT NULL,"
    " since INTEGER NOT NULL,"
    " missed INTEGER NOT NULL,"
    " PRIMARY KEY (network, mac)) WITHOUT ROWID",
    "CREATE TABLE events ("
    " id INTEGER PRIMARY KEY,"
    " time INTEGER NOT NULL,"
    " network INTEGER NOT NULL REFERENCES networks (id) ON DELETE CASCADE,"
    " kind TEXT NOT NULL CHECK (kind IN"
    " ('new', 'arrived', 'left', 'address-changed', 'mac-changed')),"
    " mac BLOB NOT NULL,"
    " address INTEGER NOT NULL,"
    " previous_mac BLOB,"
    " previous_address INTEGER)",
    "CREATE INDEX events_by_time ON events (time)",
    "CREATE INDEX events_by_device ON events (network, mac)",
};

// Cards and their changes bounded against a neighbour that floods the
// network: the kinds that say so, and what a scan's record reads instead of
// every card of its network (the cards present, a card by its MAC, the cards
// first seen lately). gateway_now is the card that answered for the
// gateway's address last, where it is not the network's own. An event's id
// is never given again, even once every event before it went, so that a
// program that read up to one misses none after it.
const char *const Version2[] = {
    "CREATE TABLE events_next ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time INTEGER NOT NULL,"
    " network INTEGER NOT NULL REFERENCES networks (id) ON DELETE CASCADE,"
    " kind TEXT NOT NULL CHECK (kind IN"
    " ('new', 'arrived', 'left', 'address-changed', 'mac-changed', 'flood',"
    " 'gateway-changed', 'conflict', 'forgotten')),"
    " mac BLOB NOT NULL,"
    " address INTEGER NOT NULL,"
    " previous_mac BLOB,"
    " previous_address INTEGER,"
    " count INTEGER)",
    "INSERT INTO events_next (id, time, network, kind, mac, address, previous_mac,"
    " previous_address) SELECT id, time, network, kind, mac, address, previous_mac,"
    " previous_address FROM events",
    "DROP TABLE events",
    "ALTER TABLE events_next RENAME TO events",
    "CREATE INDEX events_by_time ON events (time)",
    "CREATE INDEX events_by_device ON events (network, mac)",
    "CREATE INDEX events_by_network ON events (network)",
    "CREATE INDEX events_by_kind ON events (network, kind, time)",
    "ALTER TABLE networks ADD COLUMN gateway_now BLOB NOT NULL DEFAULT x''",
    "CREATE INDEX devices_present ON devices (network) WHERE present = 1",
    "CREATE INDEX devices_by_first_seen ON devices (network, first_seen)",
};

// What the identification learnt of each card's device, whatever its
// network: its type's key, model, friendly name, DNS-SD service types (a
// JSON array), the evidence ([{"source", "detail"}]) and when it was learnt.
// A card goes from it once it is in no network.
const char *const Version3[] = {
    "CREATE TABLE identities ("
    " mac BLOB PRIMARY KEY,"
    " type TEXT NOT NULL,"
    " model TEXT NOT NULL,"
    " friendly_name TEXT NOT NULL,"
    " manufacturer TEXT NOT NULL,"
    " services TEXT NOT NULL,"
    " evidence TEXT NOT NULL,"
    " learnt INTEGER NOT NULL) WITHOUT ROWID",
};

// A device is one or more cards: device is the device's first card (empty
// for a card that is its own device's first). A card-linked event links a
// new private card to its device by a name its owner chose: signal_kind
// ('mdns', 'netbios') and signal, the name. The events' ids go on from
// where they were.
const char *const Version4[] = {
    "CREATE TABLE events_next ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time INTEGER NOT NULL,"
    " network INTEGER NOT NULL REFERENCES networks (id) ON DELETE CASCADE,"
    " kind TEXT NOT NULL CHECK (kind IN"
    " ('new', 'arrived', 'left', 'address-changed', 'mac-changed', 'flood',"
    " 'gateway-changed', 'conflict', 'forgotten', 'card-linked')),"
    " mac BLOB NOT NULL,"
    " address INTEGER NOT NULL,"
    " previous_mac BLOB,"
    " previous_address INTEGER,"
    " count INTEGER,"
    " signal_kind TEXT,"
    " signal TEXT)",
    "INSERT INTO events_next (id, time, network, kind, mac, address, previous_mac,"
    " previous_address, count) SELECT id, time, network, kind, mac, address, previous_mac,"
    " previous_address, count FROM events",
    "DELETE FROM sqlite_sequence WHERE name = 'events_next'",
    "INSERT INTO sqlite_sequence (name, seq) SELECT 'events_next', seq FROM sqlite_sequence"
    " WHERE name = 'events'",
    "DROP TABLE events",
    "ALTER TABLE events_next RENAME TO events",
    "CREATE INDEX events_by_time ON events (time)",
    "CREATE INDEX events_by_device ON events (network, mac)",
    "CREATE INDEX events_by_network ON events (network)",
    "CREATE INDEX events_by_kind ON events (network, kind, time)",
    "ALTER TABLE devices ADD COLUMN device BLOB NOT NULL DEFAULT x''",
    "CREATE INDEX devices_by_device ON devices (network, device) WHERE device != x''",
    "CREATE INDEX devices_by_mdns ON devices (network, mdns COLLATE NOCASE) WHERE mdns != ''",
    "CREATE INDEX devices_by_netbios ON devices (network, netbios COLLATE NOCASE)"
    " WHERE netbios != ''",
};

// The user links cards to a device and unlinks them: card-linked events of
// signal_kind 'user' (no name), and card-unlinked ones whose previous_mac
// is the device the card left.
//
// What tells a device again: a card's last IPv6 addresses (at most eight,
// link-local first, separated by spaces), and what its host announced that
// its owner may have chosen: its DNS-SD instance names (a JSON array) and
// its UPnP UDN, kept with its identity, and each such strong signal by kind
// ('dnssd', 'upnp') and key (case-folded) to find the cards that gave it.
const char *const Version5[] = {
    "CREATE TABLE events_next ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time INTEGER NOT NULL,"
    " network INTEGER NOT NULL REFERENCES networks (id) ON DELETE CASCADE,"
    " kind TEXT NOT NULL CHECK (kind IN"
    " ('new', 'arrived', 'left', 'address-changed', 'mac-changed', 'flood',"
    " 'gateway-changed', 'conflict', 'forgotten', 'card-linked', 'card-unlinked')),"
    " mac BLOB NOT NULL,"
    " address INTEGER NOT NULL,"
    " previous_mac BLOB,"
    " previous_address INTEGER,"
    " count INTEGER,"
    " signal_kind TEXT,"
    " signal TEXT)",
    "INSERT INTO events_next SELECT id, time, network, kind, mac, address, previous_mac,"
    " previous_address, count, signal_kind, signal FROM events",
    "DELETE FROM sqlite_sequence WHERE name = 'events_next'",
    "INSERT INTO sqlite_sequence (name, seq) SELECT 'events_next', seq FROM sqlite_sequence"
    " WHERE name = 'events'",
    "DROP TABLE events",
    "ALTER TABLE events_next RENAME TO events",
    "CREATE INDEX events_by_time ON events (time)",
    "CREATE INDEX events_by_device ON events (network, mac)",
    "CREATE INDEX events_by_network ON events (network)",
    "CREATE INDEX events_by_kind ON events (network, kind, time)",
    "ALTER TABLE devices ADD COLUMN ipv6 TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE identities ADD COLUMN instances TEXT NOT NULL DEFAULT '[]'",
    "ALTER TABLE identities ADD COLUMN udn TEXT NOT NULL DEFAULT ''",
    "CREATE TABLE card_signals ("
    " kind TEXT NOT NULL,"
    " key TEXT NOT NULL,"
    " mac BLOB NOT NULL,"
    " PRIMARY KEY (kind, key, mac)) WITHOUT ROWID",
    "CREATE INDEX card_signals_by_mac ON card_signals (mac)",
};

struct Step
{
    const char *const *statements;
    std::size_t count;
};
const Step Steps[] = {{Version1, std::size(Version1)},
                      {Version2, std::size(Version2)},
                      {Version3, std::size(Version3)},
                      {Version4, std::size(Version4)},
                      {Version5, std::size(Version5)}};

} // namespace

int CurrentVersion()
{
    return int(std::size(Steps));
}

QStringList MigrationStatements(int from)
{
    QStringList statements;
    if (from < 0 || from >= CurrentVersion())
        return statements;
    for (std::size_t i = 0; i < Steps[from].count; ++i)
        statements.append(QString::fromLatin1(Steps[from].statements[i]));
    return statements;
}

bool Migrate(QSqlDatabase &db, QSqlError &error, bool *tooNew)
{
    const auto version = [&](int &value) {
        QSqlQuery query(db);
        if (!Select(query, QStringLiteral("PRAGMA user_version"), error) || !query.next())
            return false;
        value = query.value(0).toInt();
        return true;
    };
    int current = 0;
    if (!version(current))
        return false;
    *tooNew = current > CurrentVersion();
    if (current == CurrentVersion() || *tooNew)
        return !*tooNew;
    // Another program may be migrating the same file: read it again under
    // the write lock.
    if (!Run(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    bool done = version(current);
    *tooNew = done && current > CurrentVersion();
    for (; done && current < CurrentVersion(); ++current)
        for (const QString &statement : MigrationStatements(current))
            if (!(done = Run(db, statement, error)))
                break;
    if (done && !*tooNew)
        done = Run(db, QStringLiteral("PRAGMA user_version = %1").arg(CurrentVersion()), error);
    if (done && !*tooNew && Run(db, QStringLiteral("COMMIT"), error))
        return true;
    QSqlError ignored;
    Run(db, QStringLiteral("ROLLBACK"), ignored);
    return false;
}

bool Run(QSqlDatabase &db, const QString &statement, QSqlError &error, const QVariantList &values)
{
    QSqlQuery query(db);
    return Select(query, statement, error, values);
}

bool Select(QSqlQuery &query, const QString &statement, QSqlError &error,
            const QVariantList &values)
{
    query.setForwardOnly(true);
    if (!query.prepare(statement)) {
        error = query.lastError();
        return false;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    return Exec(query, error);
}

bool Exec(QSqlQuery &query, QSqlError &error)
{
    if (query.exec())
        return true;
    error = query.lastError();
    return false;
}

QByteArray Blob(const Mac &mac)
{
    // Never a null array, which Qt would bind as NULL: no card is an empty blob.
    QByteArray blob("");
    blob.append(reinterpret_cast<const char *>(mac.data()), qsizetype(mac.size()));
    return blob;
}

QString Text(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

Mac MacOf(const QVariant &blob)
{
    const QByteArray bytes = blob.toByteArray();
    return Mac(bytes.begin(), bytes.end());
}

} // namespace presence::db
