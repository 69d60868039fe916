#include "presence/timeline.h"

#include "presence/presencelog.h"
#include "presence/storedb.h"

#include <QFile>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>

namespace presence {

namespace {

// Whether a change made its card present (true) or absent (false).
std::optional<bool> Makes(const CardEvent &event)
{
    if (event.replaced)
        return false;
    if (event.kind == ChangeKind::New || event.kind == ChangeKind::Arrived ||
        event.kind == ChangeKind::MacChanged || event.kind == ChangeKind::CardLinked)
        return true;
    if (event.kind == ChangeKind::Left)
        return false;
    return std::nullopt;
}

std::optional<ChangeKind> KindOf(const QString &name)
{
    for (ChangeKind kind :
         {ChangeKind::New, ChangeKind::Arrived, ChangeKind::Left, ChangeKind::AddressChanged,
          ChangeKind::MacChanged, ChangeKind::CardLinked})
        if (KindName(kind) == name)
            return kind;
    return std::nullopt;
}

std::atomic<int> readers{0};

// A read-only connection to the file; where its folder cannot hold the
// log's index, the file as it is.
bool OpenReading(QSqlDatabase &db, const QString &fileName, bool asItIs, int &version,
                 QSqlError &error)
{
    if (asItIs) {
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        db.setDatabaseName(QUrl::fromLocalFile(fileName).toString(QUrl::FullyEncoded) +
                           QStringLiteral("?immutable=1"));
    } else {
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        db.setDatabaseName(fileName);
    }
    if (!db.open()) {
        error = db.lastError();
        return false;
    }
    QSqlQuery query(db);
    if (!db::Select(query, QStringLiteral("PRAGMA user_version"), error))
        return false;
    version = query.next() ? query.value(0).toInt() : 0;
    return true;
}

bool ReadEvents(QSqlDatabase &db, const NetworkKey &network, qint64 from, qint64 to,
                std::map<Mac, std::vector<CardEvent>> &events, QSqlError &error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The latest first, so that a bound keeps the changes nearest now.
    if (!db::Select(
            query,
            QStringLiteral("SELECT e.time, e.kind, e.mac, e.previous_mac, e.signal_kind FROM "
                           "events e "
                           "JOIN networks n ON n.id = e.network WHERE n.cidr = ? AND "
                           "n.gateway_mac = ? AND e.time >= ? AND e.time < ? "
                           "ORDER BY e.time DESC, e.id DESC LIMIT ?"),
            error, {network.cidr, db::Blob(network.gatewayMac), from, to, MaxTimelineEvents}))
        return false;
    while (query.next()) {
        const std::optional<ChangeKind> kind = KindOf(query.value(1).toString());
        if (!kind)
            continue;
        // A card the user linked to a device is neither there nor gone by it.
        if (query.value(4).toString() == QLatin1String("user"))
            continue;
        const qint64 time = query.value(0).toLongLong();
        events[db::MacOf(query.value(2))].push_back({time, *kind, false});
        // The card before gives way to the one that took its address, or to
        // its device's new card.
        if ((*kind == ChangeKind::MacChanged || *kind == ChangeKind::CardLinked) &&
            !query.value(3).isNull())
            events[db::MacOf(query.value(3))].push_back({time, *kind, true});
    }
    for (auto &[mac, list] : events)
        std::reverse(list.begin(), list.end());
    return true;
}

} // namespace

bool operator==(const PresenceSpan &a, const PresenceSpan &b)
{
    return a.from == b.from && a.to == b.to && a.present == b.present;
}

std::vector<PresenceSpan> PresenceSpans(std::vector<CardEvent> events, qint64 firstSeen,
                                        qint64 lastSeen, bool presentNow, qint64 from, qint64 to)
{
    std::vector<PresenceSpan> spans;
    if (to <= from)
        return spans;
    std::stable_sort(events.begin(), events.end(),
                     [](const CardEvent &a, const CardEvent &b) { return a.time < b.time; });
    // From each mark's time on, the card was as it says.
    std::vector<std::pair<qint64, bool>> marks{{std::numeric_limits<qint64>::min(), false}};
    std::vector<std::pair<qint64, bool>> changes;
    for (const CardEvent &event : events)
        if (const std::optional<bool> made = Makes(event))
            changes.emplace_back(std::max(event.time, firstSeen), *made);
    marks.emplace_back(firstSeen, changes.empty() || !changes.front().second);
    marks.insert(marks.end(), changes.begin(), changes.end());
    if (marks.back().second && !presentNow)
        marks.emplace_back(std::max(lastSeen, marks.back().first), false);

    for (std::size_t i = 0; i < marks.size(); ++i) {
        const qint64 begin = std::max(marks[i].first, from);
        const qint64 end = std::min(
            i + 1 < marks.size() ? marks[i + 1].first : std::numeric_limits<qint64>::max(), to);
        if (begin >= end)
            continue;
        if (!spans.empty() && spans.back().present == marks[i].second)
            spans.back().to = end;
        else
            spans.push_back({begin, end, marks[i].second});
    }
    return spans;
}

bool ReadCardEvents(const QString &fileName, const NetworkKey &network, qint64 from, qint64 to,
                    std::map<Mac, std::vector<CardEvent>> &events, QString *error)
{
    events.clear();
    if (!QFile::exists(fileName))
        return true;
    const QString name = QStringLiteral("trelvan-timeline-%1").arg(++readers);
    QSqlError failed;
    bool read = false;
    for (const bool asItIs : {false, true}) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            // A file of no version yet holds no history.
            int version = 0;
            read = OpenReading(db, fileName, asItIs, version, failed) &&
                   (version < 1 || ReadEvents(db, network, from, to, events, failed));
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        if (read)
            break;
        events.clear();
    }
    if (!read) {
        qCInfo(lcPresence) << "could not read the changes of" << fileName << failed.text();
        if (error)
            *error = failed.text();
    }
    return read;
}

} // namespace presence
