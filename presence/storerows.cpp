#include "presence/storedb.h"

#include "presence/cardlink.h"
#include "presence/rule.h"

#include <algorithm>
#include <optional>
#include <set>

// The rows a scan reads and writes: what the rule needs to know of its
// network (found in storenetwork.cpp), and what the rule decided.
namespace presence::db {

const char *const DeviceColumns = "mac, first_seen, last_seen, address, name, dns, mdns, netbios, "
                                  "web, present, since, missed, device, ipv6";

Card ReadRow(const QSqlQuery &query, int first)
{
    Card row;
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
    row.device = MacOf(query.value(first + 12));
    row.ipv6 = query.value(first + 13)
                   .toString()
                   .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                   .mid(0, MaxIpv6);
    return row;
}

QVariantList RowValues(qint64 network, const Card &row)
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
            row.missed,
            Blob(row.device),
            Text(row.ipv6.join(QLatin1Char(' ')))};
}

HostRecord RecordOf(const Card &row)
{
    HostRecord record(row.mac, row.web == 1, row.name);
    record.secureWebServer = row.web == 2;
    record.names = row.names;
    record.ipv6 = row.ipv6;
    return record;
}

namespace {

std::optional<ChangeKind> KindOf(const QString &name)
{
    for (ChangeKind kind : {ChangeKind::New, ChangeKind::Arrived, ChangeKind::Left,
                            ChangeKind::AddressChanged, ChangeKind::MacChanged, ChangeKind::Flood,
                            ChangeKind::GatewayChanged, ChangeKind::Conflict, ChangeKind::Forgotten,
                            ChangeKind::CardLinked, ChangeKind::CardUnlinked})
        if (KindName(kind) == name)
            return kind;
    return std::nullopt;
}

bool ReadChanges(QSqlDatabase &db, qint64 networkId, qint64 &lastEvent, ScanChanges &out,
                 QSqlError &error)
{
    QSqlQuery query(db);
    if (!Select(query,
                QStringLiteral(
                    "SELECT e.id, e.kind, e.time, e.address, e.previous_mac, e.previous_address, "
                    "e.mac, ifnull(e.count, 0), e.signal_kind, e.signal, d.%1 FROM events e LEFT "
                    "JOIN devices d ON "
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
        const bool stored = !query.value(10).isNull();
        const Card row = ReadRow(query, 10);
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
        if (*kind == ChangeKind::CardLinked) {
            change.signalKind = query.value(8).toString();
            change.signal = query.value(9).toString();
            change.device = row.device.empty() ? change.record.mac : row.device;
        } else if (*kind == ChangeKind::CardUnlinked) {
            change.device = change.previousMac;
        }
        out.changes.push_back(std::move(change));
    }
    return true;
}

void ReadRows(QSqlQuery &query, std::map<Mac, Card> &rows)
{
    while (query.next()) {
        Card row = ReadRow(query, 0);
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

bool WriteRows(QSqlDatabase &db, qint64 networkId, const std::vector<Card> &rows, QSqlError &error)
{
    QSqlQuery insert(db);
    QSqlQuery update(db);
    if (!insert.prepare(QStringLiteral("INSERT OR REPLACE INTO devices (network, %1) VALUES "
                                       "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                            .arg(QLatin1String(DeviceColumns)))) {
        error = insert.lastError();
        return false;
    }
    // A card already stored keeps its first_seen, and its index entry.
    if (!update.prepare(
            QStringLiteral("UPDATE devices SET last_seen = ?, address = ?, name = ?, dns = ?, "
                           "mdns = ?, netbios = ?, web = ?, present = ?, since = ?, missed = ?, "
                           "device = ?, ipv6 = ? WHERE network = ? AND mac = ?"))) {
        error = update.lastError();
        return false;
    }
    for (const Card &row : rows) {
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
                                                              Blob(row.device),
                                                              Text(row.ipv6.join(u' ')),
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
    if (!insert.prepare(QStringLiteral(
            "INSERT INTO events (time, network, kind, mac, address, previous_mac, "
            "previous_address, count, signal_kind, signal) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
            "?)"))) {
        error = insert.lastError();
        return false;
    }
    for (const Event &event : events) {
        for (const QVariant &value :
             {QVariant(time), QVariant(networkId), QVariant(KindName(event.kind)),
              QVariant(Blob(event.mac)), QVariant(event.address),
              event.previousMac.empty() ? QVariant() : QVariant(Blob(event.previousMac)),
              event.previousAddress ? QVariant(*event.previousAddress) : QVariant(),
              event.kind == ChangeKind::Flood ? QVariant(event.count) : QVariant(),
              event.signalKind.isEmpty() ? QVariant() : QVariant(event.signalKind),
              event.signalKind.isEmpty() ? QVariant() : QVariant(Text(event.signal))})
            insert.addBindValue(value);
        if (!Exec(insert, error))
            return false;
    }
    return true;
}

// The network's cards bearing a signal that a private card of the scan
// gives, new or one that may still link late; each marked with the
// announced signals it bears.
bool ReadNamesakes(QSqlDatabase &db, qint64 networkId, const ScanResult &scan, qint64 time,
                   Known &known, QSqlError &error)
{
    const QString byName = QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND %2 = ? "
                                          "COLLATE NOCASE AND mac != ? LIMIT %3");
    const QString bySignal =
        QStringLiteral("SELECT d.%1 FROM card_signals s JOIN devices d ON d.mac = s.mac WHERE "
                       "d.network = ? AND s.kind = ? AND s.key = ? AND s.mac != ? LIMIT %2")
            .arg(QString::fromLatin1(DeviceColumns)
                     .replace(QLatin1String(", "), QLatin1String(", d.")))
            .arg(NamesakesRead);
    for (const auto &[key, host] : scan.hosts) {
        const auto card = known.cards.find(host.mac);
        if (!PrivateMac(host.mac) || (card != known.cards.end() && !LinksLate(card->second, time)))
            continue;
        for (const Signal &signal : HostSignals(host)) {
            const auto &[kind, signalKey] = signal.id;
            const bool name = kind == QLatin1String("mdns") || kind == QLatin1String("netbios");
            QSqlQuery query(db);
            if (!Select(query,
                        name ? byName.arg(QLatin1String(DeviceColumns), kind).arg(NamesakesRead)
                             : bySignal,
                        error,
                        name ? QVariantList{networkId, signal.text, Blob(host.mac)}
                             : QVariantList{networkId, kind, signalKey, Blob(host.mac)}))
                return false;
            while (query.next()) {
                Card row = ReadRow(query, 0);
                row.stored = true;
                const auto present = known.cards.find(row.mac);
                Card &bearer = present != known.cards.end()
                                   ? present->second
                                   : known.namesakes.emplace(row.mac, std::move(row)).first->second;
                if (!name)
                    bearer.signalKeys.insert(signal.id);
            }
        }
    }
    return true;
}

// What the rule needs to know of network before a scan at time.
bool ReadKnown(QSqlDatabase &db, const ScanResult &scan, const Network &network, qint64 time,
               bool firstScan, Known &known, QSqlError &error)
{
    const qint64 networkId = network.id;
    known.firstScan = firstScan;
    known.networkFirstScan = network.firstScan;
    known.ownGateway = network.ownGateway;
    known.gatewayKey = network.gatewayKey;
    known.gatewayAnswered = network.gatewayAnswered;
    known.gatewayNow = network.gatewayNow;
    known.gatewayChangedTold = network.gatewayChangedTold;
    // The cards present before, and those of this scan: never every card.
    QSqlQuery present(db);
    if (!Select(present,
                QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND present = 1")
                    .arg(QLatin1String(DeviceColumns)),
                error, {networkId}))
        return false;
    ReadRows(present, known.cards);
    QSqlQuery card(db);
    if (!card.prepare(QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND mac = ?")
                          .arg(QLatin1String(DeviceColumns)))) {
        error = card.lastError();
        return false;
    }
    bool conflicts = false;
    for (const auto &[key, host] : scan.hosts) {
        conflicts = conflicts || !host.conflictMac.empty();
        for (const Mac *mac : {&host.mac, &host.conflictMac})
            if (!mac->empty() && !known.cards.count(*mac)) {
                card.addBindValue(networkId);
                card.addBindValue(Blob(*mac));
                if (!Exec(card, error))
                    return false;
                ReadRows(card, known.cards);
            }
    }
    if (!firstScan && !ReadNamesakes(db, networkId, scan, time, known, error))
        return false;
    if (conflicts) {
        QSqlQuery told(db);
        if (!Select(told,
                    QStringLiteral("SELECT DISTINCT address FROM events WHERE network = ? AND "
                                   "kind = ? AND time > ?"),
                    error, {networkId, KindName(ChangeKind::Conflict), time - ConflictEveryMs}))
            return false;
        while (told.next())
            known.conflictsTold.insert(told.value(0).toUInt());
    }
    if (firstScan)
        return true;
    QSqlQuery recent(db);
    if (!Select(recent,
                QStringLiteral("SELECT count(*) FROM devices WHERE network = ? AND first_seen > ?"),
                error, {networkId, std::max(time - FloodEveryMs, network.firstScan)}) ||
        !recent.next())
        return false;
    known.recentNewCards = recent.value(0).toInt();
    return ToldSince(db, networkId, ChangeKind::Flood, time - FloodEveryMs, std::nullopt,
                     known.floodTold, error);
}

} // namespace

bool ApplyScan(QSqlDatabase &db, const ScanResult &scan, const Recording &recording,
               std::map<qint64, qint64> &lastEvent, ScanChanges &out, QSqlError &error)
{
    const qint64 time = recording.time;
    Network network;
    if (!FindNetwork(db, scan, recording, out, network, error))
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
    Known known;
    if (!ReadKnown(db, scan, network, time, out.firstScan, known, error))
        return false;
    const Decision decision = Decide(known, scan, time);
    out.unrecorded = decision.unrecorded;
    if (decision.gatewayNow &&
        !Run(db, QStringLiteral("UPDATE networks SET gateway_now = ? WHERE id = ?"), error,
             {Blob(*decision.gatewayNow), networkId}))
        return false;
    if (!WriteRows(db, networkId, decision.cards, error) ||
        !WriteEvents(db, networkId, time, decision.events, error))
        return false;
    Kept kept(recording.keptCards);
    if ((decision.admitted > 0 || out.firstScan) &&
        !Evict(db, networkId, decision.seen, kept, time, error))
        return false;
    return ReadChanges(db, networkId, lastEvent[networkId], out, error);
}

} // namespace presence::db
