#include "presence/storedb.h"

#include "network/gateways.h"

#include <algorithm>
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
};

std::optional<ChangeKind> KindOf(const QString &name)
{
    for (ChangeKind kind : {ChangeKind::New, ChangeKind::Arrived, ChangeKind::Left,
                            ChangeKind::AddressChanged, ChangeKind::MacChanged})
        if (KindName(kind) == name)
            return kind;
    return std::nullopt;
}

// The network's key: its gateway's card from the scan, else the network of
// the same addresses recorded lately. False: it cannot be told.
bool FindKey(QSqlDatabase &db, const ScanResult &scan, qint64 time, NetworkKey &key,
             QSqlError &error, bool &known)
{
    const quint32 address = scan.address.toIPv4Address();
    const quint32 netmask = scan.netmask.toIPv4Address();
    key.cidr = CidrText(address, netmask);
    known = true;
    const quint32 gateway = GatewayOf(address, netmask, scan.interfaceName);
    if (gateway == 0)
        return true;
    const auto found = scan.hosts.find(HostKey(gateway));
    if (found != scan.hosts.end() && !found->second.mac.empty()) {
        key.gatewayMac = found->second.mac;
        return true;
    }
    QSqlQuery latest(db);
    if (!Select(latest,
                QStringLiteral("SELECT gateway_mac, last_scan FROM networks WHERE cidr = ? AND "
                               "length(gateway_mac) > 0 ORDER BY last_scan DESC LIMIT 1"),
                error, {key.cidr}))
        return false;
    known = latest.next() && latest.value(1).toLongLong() >= time - GatewayGraceMs;
    if (known)
        key.gatewayMac = MacOf(latest.value(0));
    return true;
}

bool ReadChanges(QSqlDatabase &db, qint64 networkId, qint64 &lastEvent, ScanChanges &out,
                 QSqlError &error)
{
    QSqlQuery query(db);
    if (!Select(query,
                QStringLiteral(
                    "SELECT e.id, e.kind, e.time, e.address, e.previous_mac, e.previous_address, "
                    "d.%1 FROM events e LEFT JOIN devices d ON d.network = e.network AND "
                    "d.mac = e.mac WHERE e.network = ? AND e.id > ? ORDER BY e.id")
                    .arg(QString::fromLatin1(DeviceColumns)
                             .replace(QLatin1String(", "), QLatin1String(", d."))),
                error, {networkId, lastEvent}))
        return false;
    while (query.next()) {
        const std::optional<ChangeKind> kind = KindOf(query.value(1).toString());
        lastEvent = query.value(0).toLongLong();
        if (!kind)
            continue;
        const Row row = ReadRow(query, 6);
        Change change;
        change.id = lastEvent;
        change.kind = *kind;
        change.time = query.value(2).toLongLong();
        change.network = out.network;
        change.key = HostKey(query.value(3).toUInt());
        change.record = RecordOf(row);
        change.newDevice = *kind == ChangeKind::New ||
                           (*kind == ChangeKind::MacChanged && row.firstSeen == change.time);
        change.previousMac = MacOf(query.value(4));
        if (!query.value(5).isNull())
            change.previousKey = HostKey(query.value(5).toUInt());
        out.changes.push_back(std::move(change));
    }
    return true;
}

} // namespace

bool ApplyScan(QSqlDatabase &db, const ScanResult &scan, qint64 time,
               std::map<qint64, qint64> &lastEvent, ScanChanges &out, QSqlError &error)
{
    if (!FindKey(db, scan, time, out.network, error, out.known))
        return false;
    if (!out.known)
        return true;

    qint64 networkId = 0;
    {
        QSqlQuery network(db);
        if (!Select(network,
                    QStringLiteral("SELECT id FROM networks WHERE cidr = ? AND gateway_mac = ?"),
                    error, {out.network.cidr, Blob(out.network.gatewayMac)}))
            return false;
        if (network.next()) {
            networkId = network.value(0).toLongLong();
            if (!Run(db,
                     QStringLiteral("UPDATE networks SET last_scan = max(last_scan, ?), "
                                    "interface = ? WHERE id = ?"),
                     error, {time, Text(scan.interfaceName), networkId}))
                return false;
        } else {
            QSqlQuery insert(db);
            if (!Select(insert,
                        QStringLiteral("INSERT INTO networks (cidr, gateway_mac, interface, "
                                       "first_scan, last_scan) VALUES (?, ?, ?, ?, ?)"),
                        error,
                        {out.network.cidr, Blob(out.network.gatewayMac), Text(scan.interfaceName),
                         time, time}))
                return false;
            networkId = insert.lastInsertId().toLongLong();
            out.firstScan = true;
        }
    }
    if (!lastEvent.count(networkId)) {
        QSqlQuery last(db);
        if (!Select(last, QStringLiteral("SELECT ifnull(max(id), 0) FROM events"), error) ||
            !last.next())
            return false;
        lastEvent[networkId] = last.value(0).toLongLong();
    }

    std::map<Mac, Row> rows;
    {
        QSqlQuery devices(db);
        if (!Select(devices,
                    QStringLiteral("SELECT %1 FROM devices WHERE network = ?")
                        .arg(QLatin1String(DeviceColumns)),
                    error, {networkId}))
            return false;
        while (devices.next()) {
            Row row = ReadRow(devices, 0);
            rows.emplace(row.mac, std::move(row));
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
    for (const auto &[key, host] : scan.hosts)
        seen.insert(host.mac);

    std::vector<Event> events;
    for (const quint32 key : KeysInAddressOrder(scan.hosts)) {
        const HostRecord &host = scan.hosts.at(key);
        if (host.mac.empty())
            continue;
        const quint32 address = HostOrderAddress(key);
        auto known = rows.find(host.mac);
        // A scan older than what another program recorded since tells nothing.
        if (known != rows.end() && time <= std::max(known->second.lastSeen, known->second.since))
            continue;
        Row *holder = nullptr;
        const auto held = holders.find(address);
        if (held != holders.end() && held->second->mac != host.mac &&
            !seen.count(held->second->mac) && held->second->present &&
            time > held->second->lastSeen)
            holder = held->second;
        const bool isNew = known == rows.end();
        if (isNew) {
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

    QSqlQuery write(db);
    if (!write.prepare(QStringLiteral("INSERT OR REPLACE INTO devices (network, %1) VALUES "
                                      "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                           .arg(QLatin1String(DeviceColumns)))) {
        error = write.lastError();
        return false;
    }
    for (const auto &[mac, row] : rows) {
        if (!row.changed)
            continue;
        for (const QVariant &value : RowValues(networkId, row))
            write.addBindValue(value);
        if (!Exec(write, error))
            return false;
    }
    if (!events.empty()) {
        QSqlQuery insert(db);
        if (!insert.prepare(QStringLiteral(
                "INSERT INTO events (time, network, kind, mac, address, previous_mac, "
                "previous_address) VALUES (?, ?, ?, ?, ?, ?, ?)"))) {
            error = insert.lastError();
            return false;
        }
        for (const Event &event : events) {
            for (const QVariant &value :
                 {QVariant(time), QVariant(networkId), QVariant(KindName(event.kind)),
                  QVariant(Blob(event.mac)), QVariant(event.address),
                  event.previousMac.empty() ? QVariant() : QVariant(Blob(event.previousMac)),
                  event.previousAddress ? QVariant(*event.previousAddress) : QVariant()})
                insert.addBindValue(value);
            if (!Exec(insert, error))
                return false;
        }
    }
    return ReadChanges(db, networkId, lastEvent[networkId], out, error);
}

bool Prune(QSqlDatabase &db, qint64 now, QSqlError &error)
{
    const qint64 before = now - KeepHistoryMs;
    return Run(db, QStringLiteral("DELETE FROM events WHERE time < ?"), error, {before}) &&
           Run(db, QStringLiteral("DELETE FROM devices WHERE present = 0 AND last_seen < ?"), error,
               {before}) &&
           Run(db,
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
                               "previous_address FROM events ORDER BY id"),
                error))
        return false;
    while (events.next())
        if (!Run(to,
                 QStringLiteral("INSERT INTO events (time, network, kind, mac, address, "
                                "previous_mac, previous_address) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                 error,
                 {events.value(0), ids[events.value(1).toLongLong()], events.value(2),
                  Blob(MacOf(events.value(3))), events.value(4), events.value(5), events.value(6)}))
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
