#pragma once

#include "presence/storedb.h"

#include <functional>
#include <map>

// The store's file and its faults: opening it (WAL, the busy wait, a
// private mode), the SQLite faults and the words that say them, a damaged
// file set aside, the file read only where it cannot be written, and the
// memory that holds the history while the file cannot take it.
namespace presence {

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
Fault FaultOf(const QSqlError &error);
// What to say of a fault of fileName.
QString FaultText(Fault fault, const QSqlError &error, const QString &fileName);

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
    // A user's change of network in one transaction of the file, then of the
    // memory while it holds what the file lacks: edit(db, network id, first,
    // changed, error) says whether it changed anything (first: in the file).
    // False when the file failed or nothing changed.
    using EditFunction = std::function<bool(QSqlDatabase &, qint64, bool, bool &, QSqlError &)>;
    bool Edit(const NetworkKey &network, const EditFunction &edit);
};

} // namespace presence
