#include "presence/storefile.h"

#include "presence/presencelog.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace presence {

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

namespace {

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

} // namespace presence
