#include "presence/storedb.h"

#include <set>

// Which network a scan belongs to: its addresses and its gateway's card.
namespace presence::db {

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
                 ScanChanges &out, Network &network, QSqlError &error)
{
    const qint64 time = recording.time;
    out.network.cidr = scan.network.Cidr();
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
                network.gatewayAnswered = answered;
                network.gatewayNow = same->gatewayNow;
                if (!ToldSince(db, network.id, ChangeKind::GatewayChanged,
                               time - GatewayChangedEveryMs, std::nullopt,
                               network.gatewayChangedTold, error))
                    return false;
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
                   error, {time, Text(scan.network.interfaceName), network.id});
    QSqlQuery insert(db);
    if (!Select(insert,
                QStringLiteral("INSERT INTO networks (cidr, gateway_mac, interface, "
                               "first_scan, last_scan) VALUES (?, ?, ?, ?, ?)"),
                error,
                {out.network.cidr, Blob(out.network.gatewayMac), Text(scan.network.interfaceName),
                 time, time}))
        return false;
    network.id = insert.lastInsertId().toLongLong();
    network.firstScan = time;
    out.firstScan = true;
    return true;
}

} // namespace presence::db
