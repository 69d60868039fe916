#include "presence/storedb.h"

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

// What the store does besides recording a scan: a card forgotten or gone
// with age, one store copied into another, the devices read.
namespace presence::db {

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
               error, {before}) &&
           Run(db,
               QStringLiteral("DELETE FROM identities WHERE mac NOT IN (SELECT mac FROM "
                              "devices)"),
               error) &&
           Run(db,
               QStringLiteral("DELETE FROM card_signals WHERE mac NOT IN (SELECT mac FROM "
                              "identities)"),
               error);
}

bool CopyState(QSqlDatabase &from, QSqlDatabase &to, bool withEvents, QSqlError &error)
{
    if (!CopyIdentities(from, to, error))
        return false;
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
        "present = excluded.present, since = excluded.since, missed = excluded.missed, "
        "device = excluded.device, ipv6 = excluded.ipv6");
    while (devices.next()) {
        const QVariantList values =
            RowValues(ids[devices.value(0).toLongLong()], ReadRow(devices, 1));
        if (!Run(to,
                 QStringLiteral(
                     "INSERT INTO devices (network, %1) VALUES (?, ?, ?, ?, ?, ?, ?, "
                     "?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (network, mac) DO UPDATE SET %2 "
                     "WHERE max(excluded.last_seen, excluded.since) > "
                     "max(last_seen, since)")
                     .arg(QLatin1String(DeviceColumns), assignments),
                 error, values))
            return false;
    }
    if (!withEvents)
        return true;
    QSqlQuery events(from);
    if (!Select(
            events,
            QStringLiteral("SELECT time, network, kind, mac, address, previous_mac, "
                           "previous_address, count, signal_kind, signal FROM events ORDER BY id"),
            error))
        return false;
    while (events.next())
        if (!Run(to,
                 QStringLiteral("INSERT INTO events (time, network, kind, mac, address, "
                                "previous_mac, previous_address, count, signal_kind, signal) "
                                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                 error,
                 {events.value(0), ids[events.value(1).toLongLong()], events.value(2),
                  Blob(MacOf(events.value(3))), events.value(4), events.value(5), events.value(6),
                  events.value(7), events.value(8), events.value(9)}))
            return false;
    return true;
}

bool ReadDevices(QSqlDatabase &db, qint64 networkId, qint64 now, std::vector<Device> &devices,
                 QSqlError &error)
{
    QSqlQuery query(db);
    const QString where = networkId ? QStringLiteral(" WHERE d.network = ?") : QString();
    if (!Select(query,
                QStringLiteral("SELECT n.cidr, n.gateway_mac, n.last_scan, i.%1, d.%2 FROM "
                               "devices d JOIN networks n ON n.id = d.network LEFT JOIN "
                               "identities i ON i.mac = d.mac%3")
                    .arg(QString::fromLatin1(IdentityColumns)
                             .replace(QLatin1String(", "), QLatin1String(", i.")),
                         QString::fromLatin1(DeviceColumns)
                             .replace(QLatin1String(", "), QLatin1String(", d.")),
                         where),
                error, networkId ? QVariantList{networkId} : QVariantList{}))
        return false;
    while (query.next()) {
        const Card row = ReadRow(query, 3 + IdentityColumnCount);
        Device device;
        device.network = {query.value(0).toString(), MacOf(query.value(1))};
        device.key = HostKey(row.address);
        device.record = RecordOf(row);
        device.record.identity = IdentityOf(query, 3);
        device.firstSeen = row.firstSeen;
        device.lastSeen = row.lastSeen;
        device.present = row.present && now - query.value(2).toLongLong() < LeaveAfterMs;
        device.since = row.since;
        device.device = row.device.empty() ? row.mac : row.device;
        devices.push_back(std::move(device));
    }
    // Every card of each device, the last seen first.
    std::map<std::tuple<QString, Mac, Mac>, std::vector<std::pair<qint64, Mac>>> cards;
    for (const Device &device : devices)
        cards[{device.network.cidr, device.network.gatewayMac, device.device}].emplace_back(
            device.lastSeen, device.record.mac);
    for (auto &[key, macs] : cards)
        std::sort(macs.begin(), macs.end(), std::greater<>());
    for (Device &device : devices)
        for (const auto &[lastSeen, mac] :
             cards[{device.network.cidr, device.network.gatewayMac, device.device}])
            device.macs.push_back(mac);
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
