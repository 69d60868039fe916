#pragma once

#include "presence/store.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <map>
#include <set>

// The store's SQL, shared by its files: the schema and its migrations, the
// rule, and the statements' small helpers. Every function runs on the
// connection it is given and reports a failure through the error it fills.
namespace presence::db {

// PRAGMA user_version of the schema this program writes.
int CurrentVersion();
// The statements that take a store of version `from` to from + 1.
QStringList MigrationStatements(int from);
// Brings db up to CurrentVersion in a transaction of its own. A store of a
// later version is left alone: false with *tooNew set.
bool Migrate(QSqlDatabase &db, QSqlError &error, bool *tooNew);

// Runs one statement with its positional values; false with error set.
bool Run(QSqlDatabase &db, const QString &statement, QSqlError &error,
         const QVariantList &values = {});
// The same, for a query that returns rows (forward only).
bool Select(QSqlQuery &query, const QString &statement, QSqlError &error,
            const QVariantList &values = {});
bool Exec(QSqlQuery &query, QSqlError &error);

QByteArray Blob(const Mac &mac);
// Never a null string, which Qt would bind as NULL.
QString Text(const QString &text);
Mac MacOf(const QVariant &blob);

// The cards that never go (StoreOptions::keptCards).
using KeptCards = std::function<std::set<Mac>()>;

// What a scan's record needs beside the scan, found before its transaction.
struct Recording
{
    qint64 time = 0;
    quint32 gateway = 0; // the address of the network's gateway (host order); 0: none
    KeptCards keptCards;
};

// The rule: records scan inside the caller's write transaction, and fills
// out with the network's changes since lastEvent's entry for it (which it
// moves on). Reads the cards present before and those of the scan's MACs,
// never every card of the network.
bool ApplyScan(QSqlDatabase &db, const ScanResult &scan, const Recording &recording,
               std::map<qint64, qint64> &lastEvent, ScanChanges &out, QSqlError &error);

// Deletes the events older than KeepHistoryMs before now and the devices
// absent for as long, the cards seen in one scan and absent for
// OneScanCardMs (but those of kept), and the Forgotten changes older than
// ForgottenKeptMs.
bool Prune(QSqlDatabase &db, qint64 now, const KeptCards &kept, QSqlError &error);

// A Forgotten change stays this long, for the programs that record the
// same file to see it.
constexpr qint64 ForgottenKeptMs = 7LL * 24 * 60 * 60 * 1000;

// Removes a card of network networkId and its events, and records a
// Forgotten change at time; removed tells whether the card was there.
bool DropCard(QSqlDatabase &db, qint64 networkId, const Mac &mac, qint64 time, bool &removed,
              QSqlError &error);

// Copies every network and device of from into to (an empty store of the
// same version); the events only when withEvents. Rows of to with the same
// key are replaced where from saw them later. Inside the caller's
// transaction on to.
bool CopyState(QSqlDatabase &from, QSqlDatabase &to, bool withEvents, QSqlError &error);

// The devices of one network (networkId), or of all (0).
bool ReadDevices(QSqlDatabase &db, qint64 networkId, qint64 now, std::vector<Device> &devices,
                 QSqlError &error);

} // namespace presence::db
