#pragma once

#include "presence/rule.h"
#include "presence/store.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <map>
#include <optional>
#include <set>

// The store's SQL, shared by its files: the schema and its migrations, the
// rows a scan reads and writes around the rule, and the statements' small
// helpers. Every function runs on the connection it is given and reports a
// failure through the error it fills.
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

// The cards that never go, asked for once a record and only where a card
// is about to go.
class Kept
{
public:
    explicit Kept(const KeptCards &cardsSource) : source(cardsSource) {}
    bool Has(const Mac &mac)
    {
        if (!cards)
            cards = source ? source() : std::set<Mac>();
        return cards->count(mac) > 0;
    }

private:
    const KeptCards &source;
    std::optional<std::set<Mac>> cards;
};

// The columns of a devices row, in the order ReadRow reads them and
// RowValues gives them (after the network).
extern const char *const DeviceColumns;
// The row whose columns begin at first.
Card ReadRow(const QSqlQuery &query, int first);
QVariantList RowValues(qint64 network, const Card &row);
HostRecord RecordOf(const Card &row);

// What a scan's record needs beside the scan, found before its transaction.
struct Recording
{
    qint64 time = 0;
    quint32 gateway = 0; // the address of the network's gateway (host order); 0: none
    KeptCards keptCards;
};

// Whether network networkId recorded a change of kind after since (and,
// where address is given, of that address).
bool ToldSince(QSqlDatabase &db, qint64 networkId, ChangeKind kind, qint64 since,
               std::optional<quint32> address, bool &told, QSqlError &error);

// The network of a scan, as FindNetwork found it.
struct Network
{
    qint64 id = 0;
    qint64 firstScan = 0;
    // Where another card answered for the gateway: its own card, which that
    // answer neither replaces nor sends away, and the gateway's key.
    Mac ownGateway;
    quint32 gatewayKey = 0;
    // Where that card is not the one that answered last: the one that
    // answers now, and whether that was told lately.
    Mac gatewayAnswered;
    Mac gatewayNow;
    bool gatewayChangedTold = false;
};

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
                 ScanChanges &out, Network &network, QSqlError &error);

// Records scan inside the caller's write transaction: reads what the rule
// needs to know (the cards present before and those of the scan's MACs,
// never every card of the network), Decide, writes what it decided. Fills
// out with the network's changes since lastEvent's entry for it (which it
// moves on).
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

// The user's links between cards of network networkId, recorded at time
// (store.h, Store::Merge and Store::Split); done tells whether anything
// changed.
bool LinkDevices(QSqlDatabase &db, qint64 networkId, const Mac &device, const Mac &other,
                 qint64 time, std::vector<Change> &linked, QSqlError &error);
bool UnlinkCard(QSqlDatabase &db, qint64 networkId, const Mac &mac, qint64 time, bool &done,
                QSqlError &error);

// Copies every network and device of from into to (an empty store of the
// same version); the events only when withEvents. Rows of to with the same
// key are replaced where from saw them later. Inside the caller's
// transaction on to.
bool CopyState(QSqlDatabase &from, QSqlDatabase &to, bool withEvents, QSqlError &error);

// The identities' columns, in the order IdentityOf reads them.
extern const char *const IdentityColumns;
constexpr int IdentityColumnCount = 8;
// The identity whose columns begin at first; the default one where they
// are null (a card of which nothing was learnt).
identify::Identity IdentityOf(const QSqlQuery &query, int first);
// Writes what was learnt of a card at time, unless the row holds later.
bool WriteIdentity(QSqlDatabase &db, const Mac &mac, const identify::Identity &identity,
                   qint64 time, QSqlError &error);
// Copies every identity of from into to, the later one winning.
bool CopyIdentities(QSqlDatabase &from, QSqlDatabase &to, QSqlError &error);

// The devices of one network (networkId), or of all (0), each with what
// was learnt of its card.
bool ReadDevices(QSqlDatabase &db, qint64 networkId, qint64 now, std::vector<Device> &devices,
                 QSqlError &error);

} // namespace presence::db
