#include "presence/storedb.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>

namespace presence::db {

namespace {

const char *const DeviceColumns = "mac, first_seen, last_seen, address, name, dns, mdns, netbios, "
                                  "web, present, since, missed";

// A row of devices, as the rule reads and writes it.
struct Row
{
    Mac mac;
    qint64 firstSeen = 0;
    qint64 lastSeen = 0;
    quint32 address = 0;
    HostNames names;
    QString name;
    int web = 0;
    bool present = false;
    qint64 since = 0;
    int missed = 0;
    bool changed = false;
    bool stored = false; // read from the store, not new
};

Row ReadRow(const QSqlQuery &query, int first)
{
    Row row;
    row.mac = MacOf(query.value(first));
    row.firstSeen = query.value(first + 1).toLongLong();
    row.lastSeen = query.value(first + 2).toLongLong();
    row.address = query.value(first + 3).toUInt();
    row.name = query.value(first + 4).toString();
    row.names = {query.value(first + 5).toString(), query.value(first + 6).toString(),
                 query.value(first + 7).toString()};
    row.web = query.value(first + 8).toInt();
    row.present = query.value(first + 9).toBool();
    row.since = query.value(first + 10).toLongLong();
    row.missed = query.value(first + 11).toInt();
    return row;
}

QVariantList RowValues(qint64 network, const Row &row)
{
    return {network,
            Blob(row.mac),
            row.firstSeen,
            row.lastSeen,
            row.address,
            Text(row.name),
            Text(row.names.dns),
            Text(row.names.mdns),
            Text(row.names.netbios),
            row.web,
            int(row.present),
            row.since,
            row.missed};
}

HostRecord RecordOf(const Row &row)
{
    HostRecord record(row.mac, row.web == 1, row.name);
    record.secureWebServer = row.web == 2;
    record.names = row.names;
    return record;
}

// What a scan saw of a host; a name that missed this scan keeps the last.
void Saw(Row &row, quint32 address, const HostRecord &host, qint64 time)
{
    row.lastSeen = time;
    row.address = address;
    row.web = host.webServer ? 1 : host.secureWebServer ? 2 : 0;
    const auto keep = [](QString &stored, const QString &now) {
        if (!now.isEmpty())
            stored = now;
    };
    keep(row.names.dns, host.names.dns);
    keep(row.names.mdns, host.names.mdns);
    keep(row.names.netbios, host.names.netbios);
    keep(row.name, host.name);
    row.missed = 0;
    row.changed = true;
}

struct Event
{
    ChangeKind kind;
    Mac mac;
    quint32 address;
    Mac previousMac;
    std::optional<quint32> previousAddress;
    int count = 0;
};

std::optional<ChangeKind> KindOf(const QString &name)
{
    for (ChangeKind kind :
         {ChangeKind::New, ChangeKind::Arrived, ChangeKind::Left, ChangeKind::AddressChanged,
          ChangeKind::MacChanged, ChangeKind::Flood, ChangeKind::GatewayChanged,
          ChangeKind::Conflict, ChangeKind::Forgotten})
        if (KindName(kind) == name)
            return kind;
    return std::nullopt;
}

// The cards that never go, asked for once a record and only where a card
// is about to go.
class Kept
{
public:
    explicit Kept(const KeptCards &cardsSource) : source(cardsSource) {}
    bool Has(const Mac &mac)
    {
        if (!cards)
            cards = source ? source() : std::set<Mac>();
        return cards->count(mac) > 0;
    }

private:
    const KeptCards &source;
    std::optional<std::set<Mac>> cards;
};

// Whether network networkId recorded a change of kind after since (and,
// where address is given, of that address).
bool ToldSince(QSqlDatabase &db, qint64 networkId, ChangeKind kind, qint64 since,
               std::optional<quint32> address, bool &told, QSqlError &error)
{
    QSqlQuery query(db);
    QVariantList values{networkId, KindName(kind), since};
    if (address)
        values.append(*address);
    if (!Select(query,
                QStringLiteral("SELECT 1 FROM events WHERE network = ? AND kind = ? AND time > ?%1 "
                               "LIMIT 1")
                    .arg(address ? QStringLiteral(" AND address = ?") : QString()),
                error, values))
        return false;
    told = query.next();
    return true;
}

struct Network
{
    qint64 id = 0;
    qint64 firstScan = 0;
    // Where another card answered for the gateway: its own card, which that
    // answer neither replaces nor sends away, and the gateway's key.
    Mac ownGateway;
    quint32 gatewayKey = 0;
};

// The network a scan belongs to, which it adds where it is new. A network is
// its addresses and its gateway's card (the card it was first known by), so
// that a laptop's home and café of the same addresses keep two histories. A
// scan whose gateway answered with the card of no network known before
// belongs to a network of the same addresses that either was recorded less
// than GatewayGraceMs ago (no machine moves between two networks of the same
// addresses that fast, but a neighbour answering for the gateway changes
// its card at each scan), or whose present cards answered this scan, at
// least half of them and one at least: its gateway's card changed, which is
// a GatewayChanged change once per card and at most once in
// GatewayChangedEveryMs. Otherwise it is another network, at its first
// scan. A scan that its gateway did not answer belongs to the network of its
// addresses recorded less than GatewayGraceMs ago, else to none (not known).
bool FindNetwork(QSqlDatabase &db, const ScanResult &scan, const Recording &recording,
                 ScanChanges &out, Network &network, std::vector<Event> &events, QSqlError &error)
{
    const qint64 time = recording.time;
    out.network.cidr = CidrText(scan.address.toIPv4Address(), scan.netmask.toIPv4Address());
    out.known = true;
    Mac answered; // the card that answered for the gateway's address
    if (recording.gateway != 0) {
        const auto found = scan.hosts.find(HostKey(recording.gateway));
        if (found != scan.hosts.end())
            answered = found->second.mac;
    }
    bool found = false;
    if (recording.gateway == 0 || !answered.empty()) {
        QSqlQuery query(db);
        if (!Select(query,
                    QStringLiteral("SELECT id, first_scan, length(gateway_now) FROM networks "
                                   "WHERE cidr = ? AND gateway_mac = ?"),
                    error, {out.network.cidr, Blob(answered)}))
            return false;
        found = query.next();
        if (found) {
            network.id = query.value(0).toLongLong();
            network.firstScan = query.value(1).toLongLong();
            out.network.gatewayMac = answered;
            // Its own gateway answers again.
            if (query.value(2).toInt() > 0 &&
                !Run(db, QStringLiteral("UPDATE networks SET gateway_now = x'' WHERE id = ?"),
                     error, {network.id}))
                return false;
        }
    }
    if (!found && recording.gateway != 0) {
        struct Candidate
        {
            Network network;
            Mac gatewayMac, gatewayNow;
            qint64 lastScan = 0;
        };
        std::vector<Candidate> candidates; // of these addresses, the last recorded first
        {
            QSqlQuery latest(db);
            if (!Select(latest,
                        QStringLiteral("SELECT id, first_scan, gateway_mac, gateway_now, "
                                       "last_scan FROM networks WHERE cidr = ? AND "
                                       "length(gateway_mac) > 0 ORDER BY last_scan DESC LIMIT 8"),
                        error, {out.network.cidr}))
                return false;
            while (latest.next()) {
                Candidate candidate;
                candidate.network.id = latest.value(0).toLongLong();
                candidate.network.firstScan = latest.value(1).toLongLong();
                candidate.gatewayMac = MacOf(latest.value(2));
                candidate.gatewayNow = MacOf(latest.value(3));
                candidate.lastScan = latest.value(4).toLongLong();
                candidates.push_back(std::move(candidate));
            }
        }
        const Candidate *same = nullptr;
        if (!candidates.empty() && candidates.front().lastScan >= time - GatewayGraceMs)
            same = &candidates.front();
        std::set<Mac> scanned;
        for (const auto &[key, host] : scan.hosts)
            scanned.insert(host.mac);
        for (std::size_t i = 0; !same && !answered.empty() && i < candidates.size(); ++i) {
            QSqlQuery present(db);
            if (!Select(present,
                        QStringLiteral("SELECT mac FROM devices WHERE network = ? AND present = 1"),
                        error, {candidates[i].network.id}))
                return false;
            int cards = 0, again = 0;
            while (present.next()) {
                ++cards;
                again += int(scanned.count(MacOf(present.value(0))));
            }
            if (again > 0 && 2 * again >= cards)
                same = &candidates[i];
        }
        if (same) {
            network = same->network;
            out.network.gatewayMac = same->gatewayMac;
            found = true;
            if (!answered.empty()) {
                network.ownGateway = same->gatewayMac;
                network.gatewayKey = HostKey(recording.gateway);
            }
            if (!answered.empty() && answered != same->gatewayNow) {
                bool told = false;
                if (!ToldSince(db, network.id, ChangeKind::GatewayChanged,
                               time - GatewayChangedEveryMs, std::nullopt, told, error) ||
                    !Run(db, QStringLiteral("UPDATE networks SET gateway_now = ? WHERE id = ?"),
                         error, {Blob(answered), network.id}))
                    return false;
                if (!told)
                    events.push_back({ChangeKind::GatewayChanged,
                                      answered,
                                      recording.gateway,
                                      same->gatewayMac,
                                      {}});
            }
        } else if (answered.empty()) {
            out.known = false;
            return true;
        } else {
            out.network.gatewayMac = answered;
        }
    }
    if (found)
        return Run(db,
                   QStringLiteral("UPDATE networks SET last_scan = max(last_scan, ?), "
                                  "interface = ? WHERE id = ?"),
                   error, {time, Text(scan.interfaceName), network.id});
    QSqlQuery insert(db);
    if (!Select(
            insert,
            QStringLiteral("INSERT INTO networks (cidr, gateway_mac, interface, "
                           "first_scan, last_scan) VALUES (?, ?, ?, ?, ?)"),
            error,
            {out.network.cidr, Blob(out.network.gatewayMac), Text(scan.interfaceName), time, time}))
        return false;
    network.id = insert.lastInsertId().toLongLong();
    network.firstScan = time;
    out.firstScan = true;
    return true;
}

bool ReadChanges(QSqlDatabase &db, qint64 networkId, qint64 &lastEvent, ScanChanges &out,
                 QSqlError &error)
{
    QSqlQuery query(db);
    if (!Select(query,
                QStringLiteral(
                    "SELECT e.id, e.kind, e.time, e.address, e.previous_mac, e.previous_address, "
                    "e.mac, ifnull(e.count, 0), d.%1 FROM events e LEFT JOIN devices d ON "
                    "d.network = e.network AND d.mac = e.mac WHERE e.network = ? AND e.id > ? "
                    "ORDER BY e.id")
                    .arg(QString::fromLatin1(DeviceColumns)
                             .replace(QLatin1String(", "), QLatin1String(", d."))),
                error, {networkId, lastEvent}))
        return false;
    while (query.next()) {
        const std::optional<ChangeKind> kind = KindOf(query.value(1).toString());
        lastEvent = query.value(0).toLongLong();
        if (!kind)
            continue;
        // A card the store does not hold (any more): what the change says.
        const bool stored = !query.value(8).isNull();
        const Row row = ReadRow(query, 8);
        Change change;
        change.id = lastEvent;
        change.kind = *kind;
        change.time = query.value(2).toLongLong();
        change.network = out.network;
        change.key = HostKey(query.value(3).toUInt());
        change.record = stored ? RecordOf(row) : HostRecord();
        change.record.mac = MacOf(query.value(6));
        change.newDevice = *kind == ChangeKind::New || (*kind == ChangeKind::MacChanged && stored &&
                                                        row.firstSeen == change.time);
        change.previousMac = MacOf(query.value(4));
        if (!query.value(5).isNull())
            change.previousKey = HostKey(query.value(5).toUInt());
        change.count = query.value(7).toInt();
        out.changes.push_back(std::move(change));
    }
    return true;
}

void ReadRows(QSqlQuery &query, std::map<Mac, Row> &rows)
{
    while (query.next()) {
        Row row = ReadRow(query, 0);
        row.stored = true;
        rows.emplace(row.mac, std::move(row));
    }
}

// Past CardsPerNetwork cards, the least recently seen go, but those of this
// scan and those kept.
bool Evict(QSqlDatabase &db, qint64 networkId, const std::set<Mac> &seen, Kept &kept, qint64 time,
           QSqlError &error)
{
    std::vector<Mac> going;
    {
        QSqlQuery count(db);
        if (!Select(count, QStringLiteral("SELECT count(*) FROM devices WHERE network = ?"), error,
                    {networkId}) ||
            !count.next())
            return false;
        const qint64 over = count.value(0).toLongLong() - CardsPerNetwork;
        if (over <= 0)
            return true;
        QSqlQuery oldest(db);
        if (!Select(
                oldest,
                QStringLiteral("SELECT mac FROM devices WHERE network = ? ORDER BY last_seen, mac"),
                error, {networkId}))
            return false;
        while (qint64(going.size()) < over && oldest.next()) {
            Mac mac = MacOf(oldest.value(0));
            if (!seen.count(mac) && !kept.Has(mac))
                going.push_back(std::move(mac));
        }
    }
    for (const Mac &mac : going) {
        bool removed = false;
        if (!DropCard(db, networkId, mac, time, removed, error))
            return false;
    }
    return true;
}

bool WriteRows(QSqlDatabase &db, qint64 networkId, const std::map<Mac, Row> &rows, QSqlError &error)
{
    QSqlQuery insert(db);
    QSqlQuery update(db);
    if (!insert.prepare(QStringLiteral("INSERT OR REPLACE INTO devices (network, %1) VALUES "
                                       "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                            .arg(QLatin1String(DeviceColumns)))) {
        error = insert.lastError();
        return false;
    }
    // A card already stored keeps its first_seen, and its index entry.
    if (!update.prepare(
            QStringLiteral("UPDATE devices SET last_seen = ?, address = ?, name = ?, dns = ?, "
                           "mdns = ?, netbios = ?, web = ?, present = ?, since = ?, missed = ? "
                           "WHERE network = ? AND mac = ?"))) {
        error = update.lastError();
        return false;
    }
    for (const auto &[mac, row] : rows) {
        if (!row.changed)
            continue;
        QSqlQuery &write = row.stored ? update : insert;
        const QVariantList values = row.stored ? QVariantList{row.lastSeen,
                                                              row.address,
                                                              Text(row.name),
                                                              Text(row.names.dns),
                                                              Text(row.names.mdns),
                                                              Text(row.names.netbios),
                                                              row.web,
                                                              int(row.present),
                                                              row.since,
                                                              row.missed,
                                                              networkId,
                                                              Blob(row.mac)}
                                               : RowValues(networkId, row);
        for (const QVariant &value : values)
            write.addBindValue(value);
        if (!Exec(write, error))
            return false;
    }
    return true;
}

bool WriteEvents(QSqlDatabase &db, qint64 networkId, qint64 time, const std::vector<Event> &events,
                 QSqlError &error)
{
    if (events.empty())
        return true;
    QSqlQuery insert(db);
    if (!insert.prepare(
            QStringLiteral("INSERT INTO events (time, network, kind, mac, address, previous_mac, "
                           "previous_address, count) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"))) {
        error = insert.lastError();
        return false;
    }
    for (const Event &event : events) {
        for (const QVariant &value :
             {QVariant(time), QVariant(networkId), QVariant(KindName(event.kind)),
              QVariant(Blob(event.mac)), QVariant(event.address),
              event.previousMac.empty() ? QVariant() : QVariant(Blob(event.previousMac)),
              event.previousAddress ? QVariant(*event.previousAddress) : QVariant(),
              event.kind == ChangeKind::Flood ? QVariant(event.count) : QVariant()})
            insert.addBindValue(value);
        if (!Exec(insert, error))
            return false;
    }
    return true;
}

} // namespace

bool ApplyScan(QSqlDatabase &db, const ScanResult &scan, const Recording &recording,
               std::map<qint64, qint64> &lastEvent, ScanChanges &out, QSqlError &error)
{
    const qint64 time = recording.time;
    std::vector<Event> events;
    Network network;
    if (!FindNetwork(db, scan, recording, out, network, events, error))
        return false;
    if (!out.known)
        return true;
    const qint64 networkId = network.id;
    if (!lastEvent.count(networkId)) {
        QSqlQuery last(db);
        if (!Select(last, QStringLiteral("SELECT ifnull(max(id), 0) FROM events"), error) ||
            !last.next())
            return false;
        lastEvent[networkId] = last.value(0).toLongLong();
    }

    // The cards present before, and those of this scan: never every card.
    std::map<Mac, Row> rows;
    {
        QSqlQuery present(db);
        if (!Select(present,
                    QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND present = 1")
                        .arg(QLatin1String(DeviceColumns)),
                    error, {networkId}))
            return false;
        ReadRows(present, rows);
        QSqlQuery card(db);
        if (!card.prepare(QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND mac = ?")
                              .arg(QLatin1String(DeviceColumns)))) {
            error = card.lastError();
            return false;
        }
        for (const auto &[key, host] : scan.hosts)
            for (const Mac *mac : {&host.mac, &host.conflictMac})
                if (!mac->empty() && !rows.count(*mac)) {
                    card.addBindValue(networkId);
                    card.addBindValue(Blob(*mac));
                    if (!Exec(card, error))
                        return false;
                    ReadRows(card, rows);
                }
    }
    std::map<quint32, Row *> holders; // the present card of each address
    for (auto &[mac, row] : rows)
        if (row.present) {
            Row *&holder = holders[row.address];
            if (!holder || holder->lastSeen < row.lastSeen)
                holder = &row;
        }
    std::set<Mac> seen;
    for (const auto &[key, host] : scan.hosts) {
        seen.insert(host.mac);
        if (!host.conflictMac.empty())
            seen.insert(host.conflictMac);
    }
    if (!network.ownGateway.empty())
        seen.insert(network.ownGateway);

    // How many cards it never showed the network may take now: at its first
    // scan every one, and those do not count later.
    int admissible = std::numeric_limits<int>::max();
    if (!out.firstScan) {
        QSqlQuery recent(db);
        if (!Select(
                recent,
                QStringLiteral("SELECT count(*) FROM devices WHERE network = ? AND first_seen > ?"),
                error, {networkId, std::max(time - FloodEveryMs, network.firstScan)}) ||
            !recent.next())
            return false;
        admissible = std::min(NewCardsPerScan, NewCardsPerHour - recent.value(0).toInt());
    }
    int refused = 0, admitted = 0;

    for (const quint32 key : KeysInAddressOrder(scan.hosts)) {
        const HostRecord &host = scan.hosts.at(key);
        // The gateway's address answered by another card: told, not obeyed.
        if (host.mac.empty() || (!network.ownGateway.empty() && key == network.gatewayKey))
            continue;
        const quint32 address = HostOrderAddress(key);
        auto known = rows.find(host.mac);
        // A scan older than what another program recorded since tells nothing.
        if (known != rows.end() && time <= std::max(known->second.lastSeen, known->second.since))
            continue;
        const auto held = holders.find(address);
        if (!host.conflictMac.empty()) {
            // Two cards for one address: told, not obeyed. The card that held
            // it, where it is one of them, was seen there; neither takes it.
            bool told = false;
            if (!ToldSince(db, networkId, ChangeKind::Conflict, time - ConflictEveryMs, address,
                           told, error))
                return false;
            if (!told)
                events.push_back({ChangeKind::Conflict, host.mac, address, host.conflictMac, {}});
            if (held != holders.end() &&
                (held->second->mac == host.mac || held->second->mac == host.conflictMac)) {
                Row &holder = *held->second;
                if (holder.mac == host.mac) {
                    Saw(holder, address, host, time);
                } else {
                    holder.lastSeen = time;
                    holder.missed = 0;
                    holder.changed = true;
                }
            }
            continue;
        }
        Row *holder = nullptr;
        if (held != holders.end() && held->second->mac != host.mac &&
            !seen.count(held->second->mac) && held->second->present &&
            time > held->second->lastSeen)
            holder = held->second;
        const bool isNew = known == rows.end();
        if (isNew) {
            if (admitted >= admissible) {
                ++refused;
                out.unrecorded.push_back(key);
                continue;
            }
            ++admitted;
            Row row;
            row.mac = host.mac;
            row.firstSeen = time;
            row.address = address;
            known = rows.emplace(host.mac, std::move(row)).first;
        }
        Row &row = known->second;
        const bool wasPresent = row.present;
        // The first scan of a network only learns who is there.
        if (out.firstScan) {
            // no change
        } else if (holder) {
            events.push_back({ChangeKind::MacChanged, host.mac, address, holder->mac, {}});
            holder->present = false;
            holder->since = time;
            holder->missed = 0;
            holder->changed = true;
        } else if (isNew) {
            events.push_back({ChangeKind::New, host.mac, address, {}, {}});
        } else if (!wasPresent) {
            events.push_back({ChangeKind::Arrived, host.mac, address, {}, {}});
        } else if (row.address != address) {
            events.push_back({ChangeKind::AddressChanged, host.mac, address, {}, row.address});
        }
        if (!wasPresent) {
            row.present = true;
            row.since = time;
        }
        Saw(row, address, host, time);
    }
    if (refused > 0) {
        bool told = false;
        if (!ToldSince(db, networkId, ChangeKind::Flood, time - FloodEveryMs, std::nullopt, told,
                       error))
            return false;
        if (!told)
            events.push_back({ChangeKind::Flood, {}, 0, {}, {}, refused});
    }
    for (auto &[mac, row] : rows) {
        if (!row.present || seen.count(mac) || time <= row.lastSeen)
            continue;
        row.changed = true;
        if (++row.missed >= LeaveAfterScans && time - row.lastSeen >= LeaveAfterMs) {
            events.push_back({ChangeKind::Left, mac, row.address, {}, {}});
            row.present = false;
            row.since = time;
            row.missed = 0;
        }
    }

    if (!WriteRows(db, networkId, rows, error) || !WriteEvents(db, networkId, time, events, error))
        return false;
    Kept kept(recording.keptCards);
    if ((admitted > 0 || out.firstScan) && !Evict(db, networkId, seen, kept, time, error))
        return false;
    return ReadChanges(db, networkId, lastEvent[networkId], out, error);
}

bool DropCard(QSqlDatabase &db, qint64 networkId, const Mac &mac, qint64 time, bool &removed,
              QSqlError &error)
{
    const QVariantList card{networkId, Blob(mac)};
    quint32 last = 0;
    {
        QSqlQuery address(db);
        if (!Select(address,
                    QStringLiteral("SELECT address FROM devices WHERE network = ? AND mac = ?"),
                    error, card))
            return false;
        removed = address.next();
        if (!removed)
            return true;
        last = address.value(0).toUInt();
    }
    return Run(db, QStringLiteral("DELETE FROM events WHERE network = ? AND mac = ?"), error,
               card) &&
           Run(db, QStringLiteral("DELETE FROM devices WHERE network = ? AND mac = ?"), error,
               card) &&
           Run(db,
               QStringLiteral("INSERT INTO events (time, network, kind, mac, address) VALUES "
                              "(?, ?, ?, ?, ?)"),
               error, {time, networkId, KindName(ChangeKind::Forgotten), Blob(mac), last});
}

bool Prune(QSqlDatabase &db, qint64 now, const KeptCards &keptCards, QSqlError &error)
{
    const qint64 before = now - KeepHistoryMs;
    if (!Run(db, QStringLiteral("DELETE FROM events WHERE time < ?"), error, {before}) ||
        !Run(db, QStringLiteral("DELETE FROM events WHERE kind = ? AND time < ?"), error,
             {KindName(ChangeKind::Forgotten), now - ForgottenKeptMs}))
        return false;
    Kept kept(keptCards);
    std::vector<std::pair<qint64, Mac>> going;
    {
        QSqlQuery old(db);
        if (!Select(old,
                    QStringLiteral("SELECT network, mac, present = 0 AND last_seen < ? FROM "
                                   "devices WHERE (present = 0 AND last_seen < ?) OR "
                                   "(first_seen = last_seen AND last_seen < ?)"),
                    error, {before, before, now - OneScanCardMs}))
            return false;
        while (old.next()) {
            Mac mac = MacOf(old.value(1));
            // Absent for KeepHistoryMs, any card goes; seen once, not one kept.
            if (old.value(2).toBool() || !kept.Has(mac))
                going.emplace_back(old.value(0).toLongLong(), std::move(mac));
        }
    }
    for (const auto &[network, mac] : going) {
        bool removed = false;
        if (!DropCard(db, network, mac, now, removed, error))
            return false;
    }
    return Run(db,
               QStringLiteral("DELETE FROM networks WHERE last_scan < ? AND NOT EXISTS "
                              "(SELECT 1 FROM devices WHERE network = networks.id)"),
               error, {before});
}

bool CopyState(QSqlDatabase &from, QSqlDatabase &to, bool withEvents, QSqlError &error)
{
    std::map<qint64, qint64> ids; // from's network -> to's
    QSqlQuery networks(from);
    if (!Select(networks,
                QStringLiteral("SELECT id, cidr, gateway_mac, interface, first_scan, last_scan "
                               "FROM networks"),
                error))
        return false;
    while (networks.next()) {
        const QVariantList values{networks.value(1), Blob(MacOf(networks.value(2))),
                                  Text(networks.value(3).toString()), networks.value(4),
                                  networks.value(5)};
        QSqlQuery upsert(to);
        if (!Select(upsert,
                    QStringLiteral(
                        "INSERT INTO networks (cidr, gateway_mac, interface, first_scan, "
                        "last_scan) VALUES (?, ?, ?, ?, ?) ON CONFLICT (cidr, gateway_mac) DO "
                        "UPDATE SET first_scan = min(first_scan, excluded.first_scan), "
                        "last_scan = max(last_scan, excluded.last_scan) RETURNING id"),
                    error, values) ||
            !upsert.next())
            return false;
        ids[networks.value(0).toLongLong()] = upsert.value(0).toLongLong();
    }
    QSqlQuery devices(from);
    if (!Select(devices,
                QStringLiteral("SELECT network, %1 FROM devices").arg(QLatin1String(DeviceColumns)),
                error))
        return false;
    const QString assignments = QStringLiteral(
        "first_seen = min(first_seen, excluded.first_seen), last_seen = excluded.last_seen, "
        "address = excluded.address, name = excluded.name, dns = excluded.dns, "
        "mdns = excluded.mdns, netbios = excluded.netbios, web = excluded.web, "
        "present = excluded.present, since = excluded.since, missed = excluded.missed");
    while (devices.next()) {
        const QVariantList values =
            RowValues(ids[devices.value(0).toLongLong()], ReadRow(devices, 1));
        if (!Run(to,
                 QStringLiteral("INSERT INTO devices (network, %1) VALUES (?, ?, ?, ?, ?, ?, ?, "
                                "?, ?, ?, ?, ?, ?) ON CONFLICT (network, mac) DO UPDATE SET %2 "
                                "WHERE max(excluded.last_seen, excluded.since) > "
                                "max(last_seen, since)")
                     .arg(QLatin1String(DeviceColumns), assignments),
                 error, values))
            return false;
    }
    if (!withEvents)
        return true;
    QSqlQuery events(from);
    if (!Select(events,
                QStringLiteral("SELECT time, network, kind, mac, address, previous_mac, "
                               "previous_address, count FROM events ORDER BY id"),
                error))
        return false;
    while (events.next())
        if (!Run(to,
                 QStringLiteral("INSERT INTO events (time, network, kind, mac, address, "
                                "previous_mac, previous_address, count) VALUES (?, ?, ?, ?, ?, "
                                "?, ?, ?)"),
                 error,
                 {events.value(0), ids[events.value(1).toLongLong()], events.value(2),
                  Blob(MacOf(events.value(3))), events.value(4), events.value(5), events.value(6),
                  events.value(7)}))
            return false;
    return true;
}

bool ReadDevices(QSqlDatabase &db, qint64 networkId, qint64 now, std::vector<Device> &devices,
                 QSqlError &error)
{
    QSqlQuery query(db);
    const QString where = networkId ? QStringLiteral(" WHERE d.network = ?") : QString();
    if (!Select(query,
                QStringLiteral("SELECT n.cidr, n.gateway_mac, n.last_scan, d.%1 FROM devices d "
                               "JOIN networks n ON n.id = d.network%2")
                    .arg(QString::fromLatin1(DeviceColumns)
                             .replace(QLatin1String(", "), QLatin1String(", d.")),
                         where),
                error, networkId ? QVariantList{networkId} : QVariantList{}))
        return false;
    while (query.next()) {
        const Row row = ReadRow(query, 3);
        Device device;
        device.network = {query.value(0).toString(), MacOf(query.value(1))};
        device.key = HostKey(row.address);
        device.record = RecordOf(row);
        device.firstSeen = row.firstSeen;
        device.lastSeen = row.lastSeen;
        device.present = row.present && now - query.value(2).toLongLong() < LeaveAfterMs;
        device.since = row.since;
        devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), [](const Device &a, const Device &b) {
        if (a.present != b.present)
            return a.present;
        if (a.lastSeen != b.lastSeen)
            return a.lastSeen > b.lastSeen;
        return HostOrderAddress(a.key) < HostOrderAddress(b.key);
    });
    return true;
}

} // namespace presence::db
