#include "presence/store.h"

#include "presence/clock.h"
#include "presence/presencelog.h"
#include "presence/storedb.h"

#include "network/gateways.h"
#include "results/commentstore.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <atomic>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace presence {

namespace {

constexpr qint64 PruneEveryMs = 60 * 60 * 1000;

enum class Fault
{
    None,
    Corrupt,
    Full,
    ReadOnly,
    CannotOpen,
    Busy,
    TooNew,
    NoDriver,
    Other,
};

// SQLite's primary result codes, which Qt's driver reports.
Fault FaultOf(const QSqlError &error)
{
    switch (error.nativeErrorCode().toInt()) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return Fault::Busy;
    case 8: // SQLITE_READONLY
        return Fault::ReadOnly;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return Fault::Corrupt;
    case 13: // SQLITE_FULL
        return Fault::Full;
    case 14: // SQLITE_CANTOPEN
        return Fault::CannotOpen;
    default:
        return Fault::Other;
    }
}

QString FaultText(Fault fault, const QSqlError &error, const QString &fileName)
{
    switch (fault) {
    case Fault::None:
        return QString();
    case Fault::Corrupt:
        return QStringLiteral("fichier abîmé qui ne peut être mis de côté");
    case Fault::Full:
        return QStringLiteral("disque plein");
    case Fault::ReadOnly:
        return QStringLiteral("fichier ou dossier en lecture seule");
    case Fault::CannotOpen:
        if (!QFileInfo(QFileInfo(fileName).absolutePath()).isWritable())
            return QStringLiteral("dossier en lecture seule");
        return QStringLiteral("impossible d'ouvrir %1").arg(QDir::toNativeSeparators(fileName));
    case Fault::Busy:
        return QStringLiteral("fichier occupé par un autre programme");
    case Fault::TooNew:
        return QStringLiteral("fichier d'une version plus récente de Trelvan");
    case Fault::NoDriver:
        return QStringLiteral("le pilote SQLite de Qt manque");
    case Fault::Other:
        break;
    }
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

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

// The history tells who was where and when: for its owner only, whatever
// the umask. SQLite gives its -wal and -shm the mode of the file. A file of
// an earlier version, made with the umask's mode, is made private too.
void MakePrivate(const QString &fileName)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(fileName);
    const int made = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made >= 0) {
        ::fchmod(made, 0600);
        ::close(made);
        return;
    }
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const QByteArray name = path + suffix;
        struct stat status;
        if (::stat(name.constData(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_uid == ::geteuid() && (status.st_mode & 077) != 0)
            ::chmod(name.constData(), status.st_mode & 0700);
    }
#else
    Q_UNUSED(fileName)
#endif
}

// The journal's mode is the file's, set when it is new. While another
// program opens the same new file, SQLite answers "database is locked" at
// once (or keeps the old mode), without waiting as it does for a
// transaction: ask again for as long as a transaction would wait.
bool UseWal(QSqlDatabase &db, int busyTimeoutMs, QSqlError &error)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QSqlQuery mode(db);
        const bool asked = db::Select(mode, QStringLiteral("PRAGMA journal_mode = WAL"), error);
        if (asked && mode.next() && mode.value(0).toString() == QLatin1String("wal"))
            return true;
        if (asked)
            error = QSqlError(QString(),
                              QStringLiteral("journal_mode: %1").arg(mode.value(0).toString()),
                              QSqlError::StatementError, QStringLiteral("5"));
        if (FaultOf(error) != Fault::Busy || waited.elapsed() >= busyTimeoutMs)
            return false;
        QThread::msleep(10);
    }
}

} // namespace

struct Store::Private
{
    QString fileName;
    StoreOptions options;
    // A write waited for another program in vain: the next ones do not wait
    // until one goes through.
    bool waitedInVain = false;
    int BusyTimeout() const { return waitedInVain ? 0 : options.busyTimeoutMs; }
    // Sets the connection's wait to what BusyTimeout says now.
    bool SetBusyTimeout(QSqlDatabase &db, QSqlError &error)
    {
        return db::Run(db, QStringLiteral("PRAGMA busy_timeout = %1").arg(BusyTimeout()), error);
    }
    QString fileConnection;
    QString memoryConnection;
    bool fileReady = false; // open, checked and of this version
    // The file could not be written: the memory holds the history since,
    // and goes into the file at the first scan it takes again.
    bool inMemory = false;
    std::map<qint64, qint64> fileEvents; // the last change returned, per network
    std::map<qint64, qint64> memoryEvents;
    qint64 lastPrune = 0;
    QString status;
    QString notice; // said once

    QSqlDatabase File() const { return QSqlDatabase::database(fileConnection, false); }
    QSqlDatabase Memory() const { return QSqlDatabase::database(memoryConnection, false); }

    Fault OpenFile(QSqlError &error);
    void CloseFile();
    Fault WriteFile(const ScanResult &scan, const db::Recording &recording, ScanChanges &out,
                    QSqlError &error);
    bool WriteMemory(const ScanResult &scan, const db::Recording &recording, ScanChanges &out,
                     QSqlError &error);
    void CloseMemory();
    bool SetAside(qint64 time, bool checkFirst);
    // The file as it is, read only, where it cannot be opened to write (a
    // read-only folder cannot hold the log's index that WAL needs).
    QString snapshotConnection;
    bool OpenSnapshot(QSqlError &error);
    void CloseSnapshot();
    // The connection to read: the memory while it holds what the file lacks.
    bool Reading(QSqlDatabase &db);
};

Fault Store::Private::OpenFile(QSqlError &error)
{
    if (fileReady)
        return Fault::None;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return Fault::NoDriver;
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    MakePrivate(fileName);
    {
        QSqlDatabase db =
            QSqlDatabase::contains(fileConnection)
                ? File()
                : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), fileConnection);
        db.setDatabaseName(fileName);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeout()));
        if (!db.open()) {
            error = db.lastError();
            return Fault::CannotOpen;
        }
        QSqlQuery check(db);
        bool tooNew = false;
        // Each commit's pages go to the log first: a process killed in a
        // write leaves every committed scan. A checkpoint, not each scan,
        // waits for the disk.
        if (!UseWal(db, BusyTimeout(), error) ||
            !db::Run(db, QStringLiteral("PRAGMA synchronous = NORMAL"), error) ||
            !db::Run(db, QStringLiteral("PRAGMA foreign_keys = ON"), error) ||
            !db::Select(check, QStringLiteral("PRAGMA quick_check"), error)) {
            const Fault fault = FaultOf(error);
            return fault == Fault::Other ? Fault::CannotOpen : fault;
        }
        if (!check.next() || check.value(0).toString() != QLatin1String("ok")) {
            error = QSqlError(QString(), check.value(0).toString(), QSqlError::StatementError,
                              QStringLiteral("11"));
            return Fault::Corrupt;
        }
        check.finish();
        if (!db::Migrate(db, error, &tooNew))
            return tooNew ? Fault::TooNew : FaultOf(error);
    }
    fileReady = true;
    return Fault::None;
}

bool Store::Private::OpenSnapshot(QSqlError &error)
{
    CloseSnapshot();
    if (!QFile::exists(fileName))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), snapshotConnection);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    db.setDatabaseName(QUrl::fromLocalFile(fileName).toString(QUrl::FullyEncoded) +
                       QStringLiteral("?immutable=1"));
    if (!db.open()) {
        error = db.lastError();
        return false;
    }
    QSqlQuery version(db);
    return db::Select(version, QStringLiteral("PRAGMA user_version"), error) && version.next() &&
           version.value(0).toInt() == db::CurrentVersion();
}

void Store::Private::CloseSnapshot()
{
    if (QSqlDatabase::contains(snapshotConnection)) {
        QSqlDatabase::database(snapshotConnection, false).close();
        QSqlDatabase::removeDatabase(snapshotConnection);
    }
}

void Store::Private::CloseFile()
{
    if (QSqlDatabase::contains(fileConnection)) {
        File().close();
        QSqlDatabase::removeDatabase(fileConnection);
    }
    fileReady = false;
}

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

bool Store::Private::SetAside(qint64 time, bool checkFirst)
{
    CloseFile();
    QSqlError error;
    // Another program may have set it aside and begun a new one already.
    if (checkFirst && OpenFile(error) != Fault::Corrupt)
        return true;
    CloseFile();
    const QString base =
        QStringLiteral("%1.corrupt-%2")
            .arg(fileName,
                 QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd")));
    QString target = base;
    for (int n = 2; QFile::exists(target) && n < 100; ++n)
        target = QStringLiteral("%1-%2").arg(base).arg(n);
    if (!QFile::rename(fileName, target)) {
        qCInfo(lcPresence) << "could not move the damaged" << fileName << "to" << target;
        return false;
    }
    QFile::rename(fileName + QStringLiteral("-wal"), target + QStringLiteral("-wal"));
    QFile::remove(fileName + QStringLiteral("-shm"));
    qCInfo(lcPresence) << "damaged history moved to" << target << error.text();
    notice = QStringLiteral("Historique abîmé mis de côté dans %1\u00a0; un nouvel historique "
                            "commence.")
                 .arg(QFileInfo(target).fileName());
    fileEvents.clear();
    return true;
}

bool Store::Private::Reading(QSqlDatabase &db)
{
    QSqlError error;
    if (inMemory) {
        db = Memory();
        return true;
    }
    const Fault fault = OpenFile(error);
    if (fault == Fault::None) {
        db = File();
        return true;
    }
    CloseFile();
    if (OpenSnapshot(error)) {
        db = QSqlDatabase::database(snapshotConnection);
        return true;
    }
    CloseSnapshot();
    status =
        QStringLiteral("Historique illisible\u00a0: %1").arg(FaultText(fault, error, fileName));
    return false;
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
    // The machine's routes, unless the scan read them as it began, are read
    // before the write lock is taken.
    const db::Recording recording{time,
                                  scan.gateway
                                      ? *scan.gateway
                                      : GatewayOf(scan.address.toIPv4Address(),
                                                  scan.netmask.toIPv4Address(), scan.interfaceName),
                                  d->options.keptCards};
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

bool Store::Forget(const NetworkKey &network, const Mac &mac)
{
    QSqlError error;
    if (d->OpenFile(error) != Fault::None) {
        d->CloseFile();
        return false;
    }
    const qint64 time = Now();
    // In each database the store writes: the file, and the memory while it
    // holds what the file lacks.
    const auto forget = [&](QSqlDatabase db, bool &removed) {
        QSqlQuery id(db);
        if (!db::Select(
                id, QStringLiteral("SELECT id FROM networks WHERE cidr = ? AND gateway_mac = ?"),
                error, {network.cidr, db::Blob(network.gatewayMac)}))
            return false;
        removed = false;
        return !id.next() || db::DropCard(db, id.value(0).toLongLong(), mac, time, removed, error);
    };
    QSqlDatabase file = d->File();
    bool removed = false;
    bool done = d->SetBusyTimeout(file, error) &&
                db::Run(file, QStringLiteral("BEGIN IMMEDIATE"), error) && forget(file, removed);
    done = done && db::Run(file, QStringLiteral("COMMIT"), error);
    if (!done) {
        db::Run(file, QStringLiteral("ROLLBACK"), error);
        return false;
    }
    if (d->inMemory) {
        bool inMemory = false;
        forget(d->Memory(), inMemory);
    }
    return removed;
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
    case ChangeKind::Forgotten:
        break;
    }
    return QStringLiteral("forgotten");
}

} // namespace presence
