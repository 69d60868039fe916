#include "presence/cardlink.h"
#include "presence/storedb.h"

#include <optional>

// The user's word on which cards are one device: a device's cards moved to
// another device, a card made a device of its own.
namespace presence::db {

namespace {

// The row of a card of network networkId; none where it is not there.
bool ReadCard(QSqlDatabase &db, qint64 networkId, const Mac &mac, std::optional<Card> &card,
              QSqlError &error)
{
    QSqlQuery query(db);
    if (!Select(query,
                QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND mac = ?")
                    .arg(QLatin1String(DeviceColumns)),
                error, {networkId, Blob(mac)}))
        return false;
    card.reset();
    if (query.next())
        card = ReadRow(query, 0);
    return true;
}

// Every card of a device (its first card), the first seen first.
bool ReadCards(QSqlDatabase &db, qint64 networkId, const Mac &device, std::vector<Card> &cards,
               QSqlError &error)
{
    QSqlQuery query(db);
    if (!Select(query,
                QStringLiteral("SELECT %1 FROM devices WHERE network = ? AND (device = ? OR "
                               "(mac = ? AND device = x'')) ORDER BY first_seen, mac")
                    .arg(QLatin1String(DeviceColumns)),
                error, {networkId, Blob(device), Blob(device)}))
        return false;
    while (query.next())
        cards.push_back(ReadRow(query, 0));
    return true;
}

} // namespace

bool LinkDevices(QSqlDatabase &db, qint64 networkId, const Mac &device, const Mac &other,
                 qint64 time, std::vector<Change> &linked, QSqlError &error)
{
    std::optional<Card> mine;
    std::optional<Card> theirs;
    if (!ReadCard(db, networkId, device, mine, error) ||
        !ReadCard(db, networkId, other, theirs, error))
        return false;
    if (!mine || !theirs || DeviceOf(*mine) == DeviceOf(*theirs))
        return true;
    const Mac target = DeviceOf(*mine);
    std::vector<Card> cards;
    if (!ReadCards(db, networkId, DeviceOf(*theirs), cards, error))
        return false;
    for (const Card &card : cards) {
        if (!Run(db, QStringLiteral("UPDATE devices SET device = ? WHERE network = ? AND mac = ?"),
                 error, {Blob(target), networkId, Blob(card.mac)}) ||
            !Run(db,
                 QStringLiteral("INSERT INTO events (time, network, kind, mac, address, "
                                "previous_mac, signal_kind, signal) VALUES (?, ?, ?, ?, ?, ?, ?, "
                                "'')"),
                 error,
                 {time, networkId, KindName(ChangeKind::CardLinked), Blob(card.mac), card.address,
                  Blob(device), QStringLiteral("user")}))
            return false;
        Change change;
        change.kind = ChangeKind::CardLinked;
        change.time = time;
        change.key = HostKey(card.address);
        change.record = RecordOf(card);
        change.previousMac = device;
        change.device = target;
        change.signalKind = QStringLiteral("user");
        linked.push_back(std::move(change));
    }
    return true;
}

bool UnlinkCard(QSqlDatabase &db, qint64 networkId, const Mac &mac, qint64 time, bool &done,
                QSqlError &error)
{
    done = false;
    std::optional<Card> card;
    if (!ReadCard(db, networkId, mac, card, error))
        return false;
    if (!card)
        return true;
    const Mac device = DeviceOf(*card);
    std::vector<Card> cards;
    if (!ReadCards(db, networkId, device, cards, error))
        return false;
    if (cards.size() < 2)
        return true;
    // The device's first card going, the first seen of the others names it.
    Mac left = device;
    if (mac == device)
        left = (cards[0].mac == mac ? cards[1] : cards[0]).mac;
    const bool moved =
        mac == device
            ? Run(db,
                  QStringLiteral("UPDATE devices SET device = CASE WHEN mac = ? THEN x'' ELSE ? "
                                 "END WHERE network = ? AND device = ?"),
                  error, {Blob(left), Blob(left), networkId, Blob(device)})
            : Run(db,
                  QStringLiteral("UPDATE devices SET device = x'' WHERE network = ? AND mac = ?"),
                  error, {networkId, Blob(mac)});
    done = moved && Run(db,
                        QStringLiteral("INSERT INTO events (time, network, kind, mac, address, "
                                       "previous_mac) VALUES (?, ?, ?, ?, ?, ?)"),
                        error,
                        {time, networkId, KindName(ChangeKind::CardUnlinked), Blob(mac),
                         card->address, Blob(left)});
    return done;
}

} // namespace presence::db
