#include "presence/store.h"

#include "presence/clock.h"
#include "presence/presencelog.h"
#include "presence/storefile.h"

#include "results/commentstore.h"

#include <QStandardPaths>

#include <atomic>

// The store's face: a scan recorded in the file, or in memory while the
// file cannot take it, and what the history holds read back.
namespace presence {

namespace {

constexpr qint64 PruneEveryMs = 60 * 60 * 1000;

std::atomic<int> connections{0};

// The cards with a comment, from the comment store.
std::set<Mac> CommentedCards()
{
    CommentMap comments;
    LoadComments(comments);
    std::set<Mac> cards;
    for (const auto &[text, comment] : comments) {
        if (comment.trimmed().isEmpty())
            continue;
        const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
        if (!bytes.isEmpty())
            cards.emplace(bytes.begin(), bytes.end());
    }
    return cards;
}

} // namespace

Fault Store::Private::WriteFile(const ScanResult &scan, const db::Recording &recording,
                                ScanChanges &out, QSqlError &error)
{
    const qint64 time = recording.time;
    Fault fault = OpenFile(error);
    if (fault != Fault::None) {
        CloseFile();
        return fault;
    }
    QSqlDatabase db = File();
    if (!SetBusyTimeout(db, error) || !db::Run(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return FaultOf(error);
    const std::map<qint64, qint64> before = fileEvents;
    bool done = true;
    if (inMemory) {
        // What the memory kept goes in first, and was told already.
        QSqlDatabase memory = Memory();
        done = db::CopyState(memory, db, true, error);
        fileEvents.clear();
    }
    // Pruned first: the cards that go are among this scan's changes.
    const bool prune = time - lastPrune >= PruneEveryMs;
    done = done && (!prune || db::Prune(db, time, options.keptCards, error));
    done = done && db::ApplyScan(db, scan, recording, fileEvents, out, error);
    done = done && db::Run(db, QStringLiteral("COMMIT"), error);
    if (!done) {
        QSqlError ignored;
        db::Run(db, QStringLiteral("ROLLBACK"), ignored);
        fileEvents = before;
        fault = FaultOf(error);
        if (fault == Fault::Corrupt)
            CloseFile();
        return fault == Fault::None ? Fault::Other : fault;
    }
    if (prune)
        lastPrune = time;
    if (inMemory) {
        CloseMemory();
        qCInfo(lcPresence) << "the history kept in memory is in" << fileName << "again";
    }
    return Fault::None;
}

bool Store::Private::WriteMemory(const ScanResult &scan, const db::Recording &recording,
                                 ScanChanges &out, QSqlError &error)
{
    if (!inMemory) {
        CloseMemory();
        QSqlDatabase memory =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), memoryConnection);
        memory.setDatabaseName(QStringLiteral(":memory:"));
        bool tooNew = false;
        if (!memory.open() || !db::Migrate(memory, error, &tooNew))
            return false;
        // What the file held, where it can still be read.
        QSqlError unread;
        const bool writable = fileReady || OpenFile(unread) == Fault::None;
        if (writable || OpenSnapshot(unread)) {
            QSqlDatabase file = writable ? File() : QSqlDatabase::database(snapshotConnection);
            if (!db::Run(memory, QStringLiteral("BEGIN"), error))
                return false;
            if (!db::CopyState(file, memory, false, unread))
                qCInfo(lcPresence) << "could not read" << fileName << unread.text();
            if (!db::Run(memory, QStringLiteral("COMMIT"), error))
                return false;
        }
        CloseSnapshot();
        memoryEvents.clear();
        inMemory = true;
    }
    QSqlDatabase memory = Memory();
    if (!db::Run(memory, QStringLiteral("BEGIN"), error))
        return false;
    if (db::ApplyScan(memory, scan, recording, memoryEvents, out, error) &&
        db::Run(memory, QStringLiteral("COMMIT"), error))
        return true;
    QSqlError ignored;
    db::Run(memory, QStringLiteral("ROLLBACK"), ignored);
    return false;
}

void Store::Private::CloseMemory()
{
    if (QSqlDatabase::contains(memoryConnection)) {
        Memory().close();
        QSqlDatabase::removeDatabase(memoryConnection);
    }
    inMemory = false;
}

QString Store::DefaultFileName()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/presence.sqlite");
}

Store::Store(const QString &fileName, StoreOptions options) : d(std::make_unique<Private>())
{
    const int number = ++connections;
    d->fileName = fileName;
    d->options = std::move(options);
    if (!d->options.keptCards)
        d->options.keptCards = &CommentedCards;
    d->fileConnection = QStringLiteral("trelvan-presence-%1").arg(number);
    d->memoryConnection = QStringLiteral("trelvan-presence-%1-memory").arg(number);
    d->snapshotConnection = QStringLiteral("trelvan-presence-%1-snapshot").arg(number);
}

Store::~Store()
{
    // A last try to write what the memory kept; without waiting where the
    // last write waited in vain.
    QSqlError error;
    if (d->inMemory && d->OpenFile(error) == Fault::None) {
        QSqlDatabase file = d->File();
        QSqlDatabase memory = d->Memory();
        if (d->SetBusyTimeout(file, error) &&
            db::Run(file, QStringLiteral("BEGIN IMMEDIATE"), error)) {
            if (db::CopyState(memory, file, true, error) &&
                db::Run(file, QStringLiteral("COMMIT"), error))
                qCInfo(lcPresence) << "the history kept in memory is in" << d->fileName;
            else
                db::Run(file, QStringLiteral("ROLLBACK"), error);
        }
    }
    d->CloseMemory();
    d->CloseSnapshot();
    d->CloseFile();
}

QString Store::FileName() const
{
    return d->fileName;
}

ScanChanges Store::Record(const ScanResult &scan)
{
    const qint64 time = scan.time ? scan.time : Now();
    // The gateway of the moment the scan began, not of this one.
    const db::Recording recording{time, scan.network.gateway, d->options.keptCards};
    ScanChanges out;
    QSqlError error;
    Fault fault = d->WriteFile(scan, recording, out, error);
    // Set aside once the damage is confirmed: a file that checks well again
    // was replaced by another program in the meantime.
    for (bool checkFirst : {true, false}) {
        if (fault != Fault::Corrupt || !d->SetAside(time, checkFirst))
            break;
        out = ScanChanges();
        fault = d->WriteFile(scan, recording, out, error);
    }
    d->waitedInVain = fault == Fault::Busy;
    if (fault == Fault::None) {
        d->status.clear();
        out.written = true;
    } else {
        d->status = QStringLiteral("Historique non enregistré\u00a0: %1")
                        .arg(FaultText(fault, error, d->fileName));
        qCInfo(lcPresence) << d->fileName << d->status << error.text();
        out = ScanChanges();
        if (!d->WriteMemory(scan, recording, out, error))
            qCInfo(lcPresence) << "the history in memory failed too:" << error.text();
        // Opened again at the next scan: a connection opened while the
        // folder was read-only would stay so.
        if (fault != Fault::Busy)
            d->CloseFile();
    }
    QStringList said{d->notice, d->status};
    said.removeAll(QString());
    out.status = said.join(QLatin1Char(' '));
    d->notice.clear();
    return out;
}

std::optional<NetworkKey> Store::LatestNetwork(const QString &cidr)
{
    QSqlDatabase db;
    if (!d->Reading(db))
        return std::nullopt;
    QSqlQuery query(db);
    QSqlError error;
    if (!db::Select(query,
                    QStringLiteral("SELECT gateway_mac FROM networks WHERE cidr = ? ORDER BY "
                                   "last_scan DESC LIMIT 1"),
                    error, {cidr}) ||
        !query.next())
        return std::nullopt;
    return NetworkKey{cidr, db::MacOf(query.value(0))};
}

std::vector<Device> Store::Devices(const NetworkKey &network)
{
    std::vector<Device> devices;
    QSqlDatabase db;
    QSqlError error;
    if (!d->Reading(db))
        return devices;
    qint64 id = 0;
    {
        QSqlQuery query(db);
        if (!db::Select(
                query, QStringLiteral("SELECT id FROM networks WHERE cidr = ? AND gateway_mac = ?"),
                error, {network.cidr, db::Blob(network.gatewayMac)}) ||
            !query.next())
            return devices;
        id = query.value(0).toLongLong();
    }
    if (!db::ReadDevices(db, id, Now(), devices, error))
        qCInfo(lcPresence) << d->fileName << error.text();
    return devices;
}

std::vector<Device> Store::AllDevices()
{
    std::vector<Device> devices;
    QSqlDatabase db;
    QSqlError error;
    if (d->Reading(db) && !db::ReadDevices(db, 0, Now(), devices, error))
        qCInfo(lcPresence) << d->fileName << error.text();
    std::stable_sort(devices.begin(), devices.end(),
                     [](const Device &a, const Device &b) { return a.lastSeen > b.lastSeen; });
    return devices;
}

bool Store::Private::Edit(const NetworkKey &network, const EditFunction &edit)
{
    status.clear();
    QSqlError error;
    if (const Fault fault = OpenFile(error); fault != Fault::None) {
        status = FaultText(fault, error, fileName);
        CloseFile();
        return false;
    }
    const auto apply = [&](QSqlDatabase db, bool first, bool &changed) {
        QSqlQuery id(db);
        if (!db::Select(
                id, QStringLiteral("SELECT id FROM networks WHERE cidr = ? AND gateway_mac = ?"),
                error, {network.cidr, db::Blob(network.gatewayMac)}))
            return false;
        changed = false;
        return !id.next() || edit(db, id.value(0).toLongLong(), first, changed, error);
    };
    QSqlDatabase file = File();
    bool changed = false;
    bool done = SetBusyTimeout(file, error) &&
                db::Run(file, QStringLiteral("BEGIN IMMEDIATE"), error) &&
                apply(file, true, changed);
    done = done && db::Run(file, QStringLiteral("COMMIT"), error);
    if (!done) {
        db::Run(file, QStringLiteral("ROLLBACK"), error);
        status = FaultText(FaultOf(error), error, fileName);
        return false;
    }
    if (inMemory) {
        QSqlDatabase memory = Memory();
        bool inMemoryToo = false;
        if (db::Run(memory, QStringLiteral("BEGIN"), error) && apply(memory, false, inMemoryToo))
            db::Run(memory, QStringLiteral("COMMIT"), error);
        else
            db::Run(memory, QStringLiteral("ROLLBACK"), error);
    }
    return changed;
}

bool Store::Forget(const NetworkKey &network, const Mac &mac)
{
    const qint64 time = Now();
    return d->Edit(network,
                   [&](QSqlDatabase &db, qint64 id, bool, bool &removed, QSqlError &error) {
                       return db::DropCard(db, id, mac, time, removed, error);
                   });
}

bool Store::Merge(const NetworkKey &network, const Mac &device, const Mac &other,
                  std::vector<Change> *linked)
{
    const qint64 time = Now();
    std::vector<Change> moved;
    const bool done = d->Edit(
        network, [&](QSqlDatabase &db, qint64 id, bool first, bool &changed, QSqlError &error) {
            std::vector<Change> cards;
            if (!db::LinkDevices(db, id, device, other, time, cards, error))
                return false;
            changed = !cards.empty();
            if (first)
                moved = std::move(cards);
            return true;
        });
    for (Change &change : moved)
        change.network = network;
    if (linked)
        *linked = std::move(moved);
    return done;
}

bool Store::Split(const NetworkKey &network, const Mac &mac)
{
    const qint64 time = Now();
    return d->Edit(network,
                   [&](QSqlDatabase &db, qint64 id, bool, bool &changed, QSqlError &error) {
                       return db::UnlinkCard(db, id, mac, time, changed, error);
                   });
}

QString Store::Status() const
{
    return d->status;
}

bool operator==(const NetworkKey &a, const NetworkKey &b)
{
    return a.cidr == b.cidr && a.gatewayMac == b.gatewayMac;
}

QString KindName(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::New:
        return QStringLiteral("new");
    case ChangeKind::Arrived:
        return QStringLiteral("arrived");
    case ChangeKind::Left:
        return QStringLiteral("left");
    case ChangeKind::AddressChanged:
        return QStringLiteral("address-changed");
    case ChangeKind::MacChanged:
        return QStringLiteral("mac-changed");
    case ChangeKind::Flood:
        return QStringLiteral("flood");
    case ChangeKind::GatewayChanged:
        return QStringLiteral("gateway-changed");
    case ChangeKind::Conflict:
        return QStringLiteral("conflict");
    case ChangeKind::CardLinked:
        return QStringLiteral("card-linked");
    case ChangeKind::CardUnlinked:
        return QStringLiteral("card-unlinked");
    case ChangeKind::Forgotten:
        break;
    }
    return QStringLiteral("forgotten");
}

} // namespace presence
