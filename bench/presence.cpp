// What the presence history costs: one scan of a /24's 254 hosts recorded
// What the presence history costs: one scan of a /24's 254 hosts recorded
// (a network's first scan, an ordinary one, one where every card is new and
// the flood bound keeps most out; the median of several), an ordinary one
// with 30 other cards in the store and with 100,000, then a year of a home
// of 30 devices on a clock of its own (a scan a minute: the rule's figures
// hold at any period longer than 20 s), and the store's size after it, with
// the time to open it and to read its history and each device's last seven
// days. Writes into FOLDER (default: a temporary folder); sends nothing.
//
//   trelvan_presence_bench [--runs N] [--days N] [FOLDER]
#include "network/gateways.h"
#include "presence/clock.h"
#include "presence/store.h"
#include "presence/timeline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

qint64 simulated = 0;
qint64 SimulatedNow()
{
    return simulated;
}
QList<GatewayRoute> NoRoutes()
{
    return {};
}

HostRecord Card(quint32 serial, const QString &name = QString())
{
    return HostRecord({0x02, 0x54, static_cast<unsigned char>(serial >> 24),
                       static_cast<unsigned char>(serial >> 16),
                       static_cast<unsigned char>(serial >> 8), static_cast<unsigned char>(serial)},
                      serial % 3 == 0, name);
}

presence::ScanResult Scan(qint64 time)
{
    return {{QHostAddress(QStringLiteral("198.51.100.1")),
             QHostAddress(QStringLiteral("255.255.255.0")), QStringLiteral("eth0")},
            {},
            time};
}

quint32 Key(int octet)
{
    return qToBigEndian(0xC6336400u | quint32(octet));
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Adds cards to the store of file: up to 3,800 absent ones on its network
// (id 1), the others spread over 24 networks of other addresses.
bool Seed(const QString &file, int cards)
{
    bool done = true;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("seed"));
        db.setDatabaseName(file);
        done = db.open();
        QSqlQuery query(db);
        const auto run = [&](const QString &statement) { done = done && query.exec(statement); };
        run(QStringLiteral("BEGIN"));
        const int here = std::min(cards, 3800);
        const auto insert = [&](int network, int from, int count) {
            run(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT %1 UNION ALL SELECT i + 1 FROM n "
                               "WHERE i < %2) INSERT INTO devices SELECT %3, "
                               "CAST(printf('seeded%08d', i) AS BLOB), 1000 + i, 2000 + i, i, "
                               "'', '', '', '', 0, 0, 2000 + i, 0 FROM n")
                    .arg(from)
                    .arg(from + count - 1)
                    .arg(network));
        };
        if (here > 0)
            insert(1, 0, here);
        const int others = cards - here;
        for (int network = 0; others > 0 && network < 24; ++network) {
            run(QStringLiteral(
                    "INSERT INTO networks (id, cidr, gateway_mac, interface, first_scan, "
                    "last_scan) VALUES (%1, '203.0.%2.0/24', x'', 'eth1', 0, 0)")
                    .arg(100 + network)
                    .arg(network));
            const int share = others / 24 + (network < others % 24 ? 1 : 0);
            insert(100 + network, here + network * (others / 24 + 1), share);
        }
        run(QStringLiteral("COMMIT"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("seed"));
    return done;
}

qint64 SizeOf(const QString &file)
{
    return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    int runs = 9, days = 365;
    QString folder;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--runs") && !arguments.isEmpty())
            runs = arguments.takeFirst().toInt();
        else if (argument == QLatin1String("--days") && !arguments.isEmpty())
            days = arguments.takeFirst().toInt();
        else
            folder = argument;
    }
    QTemporaryDir temporary(folder.isEmpty() ? QDir::tempPath() + QStringLiteral("/presence-XXXXXX")
                                             : folder + QStringLiteral("/presence-XXXXXX"));
    SetGatewayLister(&NoRoutes);
    presence::SetClock(&SimulatedNow);
    const qint64 start =
        QDateTime(QDate(2026, 1, 5), QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();

    // One scan of 254 hosts, each case on a store of its own.
    presence::StoreOptions options;
    options.keptCards = [] { return std::set<presence::Mac>(); };
    std::vector<double> first, ordinary, changed;
    for (int run = 0; run < runs; ++run) {
        const QString file = temporary.filePath(QStringLiteral("scan-%1.sqlite").arg(run));
        presence::Store store(file, options);
        presence::ScanResult scan = Scan(start);
        for (int octet = 1; octet < 255; ++octet)
            scan.hosts[Key(octet)] = Card(quint32(octet), QStringLiteral("host-%1").arg(octet));
        const auto timed = [&store, &scan](std::vector<double> &into) {
            QElapsedTimer timer;
            timer.start();
            const presence::ScanChanges changes = store.Record(scan);
            into.push_back(double(timer.nsecsElapsed()) / 1e6);
            return changes.changes.size();
        };
        timed(first);
        scan.time += 10000;
        timed(ordinary);
        for (int octet = 1; octet < 255; ++octet)
            scan.hosts[Key(octet)] = Card(quint32(1000 + octet));
        scan.time += 10000;
        // 16 cards in the place of others, and the flood told.
        if (timed(changed) != std::size_t(presence::NewCardsPerScan + 1))
            std::fprintf(stderr, "a scan of 254 new cards did not make 17 changes\n");
    }
    std::printf("one scan of 254 hosts written (median of %d, ms): first %.1f, ordinary %.1f, "
                "every card new (16 kept) %.1f\n",
                runs, Median(first), Median(ordinary), Median(changed));

    // An ordinary scan of 254 hosts with 30 other cards in the store, then
    // with 100,000.
    for (const int extra : {30, 100000}) {
        const QString file = temporary.filePath(QStringLiteral("cards-%1.sqlite").arg(extra));
        std::vector<double> times;
        {
            presence::Store store(file, options);
            presence::ScanResult scan = Scan(start);
            for (int octet = 1; octet < 255; ++octet)
                scan.hosts[Key(octet)] = Card(quint32(octet), QStringLiteral("host-%1").arg(octet));
            store.Record(scan);
            if (!Seed(file, extra))
                std::fprintf(stderr, "could not add %d cards to %s\n", extra, qPrintable(file));
            for (int run = 0; run < runs; ++run) {
                scan.time += 10000;
                QElapsedTimer timer;
                timer.start();
                store.Record(scan);
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
        }
        std::printf("an ordinary scan of 254 hosts with %d other cards in the store (median of "
                    "%d): %.1f ms\n",
                    extra, runs, Median(times));
    }

    // A year of a home: 8 devices always there; 12 phones and laptops out
    // on weekdays from about 8:00 to 18:00 (and out one weekend evening in
    // two), each missing one scan in twenty while there; 6 on in the
    // evening only; a guest's phone, a card never seen, 4 times a month for
    // a few hours. A scan a minute.
    const QString file = temporary.filePath(QStringLiteral("year.sqlite"));
    QRandomGenerator random(20261208);
    struct Device
    {
        int octet;
        int kind; // 0 always, 1 out by day, 2 evenings
        int leaves = 0, returns = 0;
    };
    std::vector<Device> devices;
    for (int i = 0; i < 26; ++i)
        devices.push_back({10 + i, i < 8 ? 0 : i < 20 ? 1 : 2});
    qint64 scans = 0, changes = 0, peak = 0;
    QElapsedTimer timer;
    timer.start();
    {
        presence::Store store(file);
        quint32 guest = 0;
        int guestOctet = 0;
        qint64 guestUntil = 0;
        for (int day = 0; day < days; ++day) {
            const qint64 midnight = start + qint64(day) * 86400000;
            const bool weekend = QDateTime::fromMSecsSinceEpoch(midnight).date().dayOfWeek() >= 6;
            for (Device &device : devices) {
                device.leaves = device.kind == 1 ? 7 * 60 + random.bounded(120) : 19 * 60;
                device.returns = device.kind == 1 ? 17 * 60 + random.bounded(180) : 23 * 60;
                if (device.kind == 1 && weekend) {
                    const bool evening = random.bounded(2);
                    device.leaves = evening ? 20 * 60 : 0;
                    device.returns = evening ? 23 * 60 : 0;
                }
            }
            for (int minute = 0; minute < 24 * 60; ++minute) {
                simulated = midnight + qint64(minute) * 60000;
                presence::ScanResult scan = Scan(simulated);
                for (const Device &device : devices) {
                    const bool out =
                        device.kind == 1   ? minute >= device.leaves && minute < device.returns
                        : device.kind == 2 ? minute < device.leaves || minute >= device.returns
                                           : false;
                    if (!out && (device.kind == 0 || random.bounded(20) != 0))
                        scan.hosts[Key(device.octet)] = Card(quint32(device.octet));
                }
                if (guestUntil <= simulated && random.bounded(7 * 24 * 60) == 0) {
                    ++guest;
                    guestOctet = 100 + int(guest % 100);
                    guestUntil = simulated + (1 + random.bounded(4)) * 3600000LL;
                }
                if (simulated < guestUntil)
                    scan.hosts[Key(guestOctet)] = Card(0x10000 + guest);
                changes += qint64(store.Record(scan).changes.size());
                ++scans;
                if (minute == 0)
                    peak = std::max(peak, SizeOf(file));
            }
        }
        std::printf("%d days: %lld scans, %lld changes, %u guests' cards, %.0f s (%.2f ms a "
                    "scan)\n",
                    days, scans, changes, guest, double(timer.elapsed()) / 1000.0,
                    double(timer.elapsed()) / double(scans));
    }
    std::printf("store after %d days: %.0f KiB (file and log); the most while it ran %.0f KiB\n",
                days, double(SizeOf(file)) / 1024.0, double(peak) / 1024.0);
    timer.start();
    presence::Store store(file);
    const auto network = store.LatestNetwork(QStringLiteral("198.51.100.0/24"));
    const std::size_t listed = network ? store.Devices(*network).size() : 0;
    std::printf("opening it and reading its history (%zu devices): %.1f ms\n", listed,
                double(timer.nsecsElapsed()) / 1e6);
    // What the history dialog draws: each device's last seven days.
    timer.start();
    std::map<presence::Mac, std::vector<presence::CardEvent>> events;
    std::size_t spans = 0, read = 0;
    if (network && presence::ReadCardEvents(file, *network, simulated - presence::TimelineMs,
                                            simulated, events))
        for (const presence::Device &device : store.Devices(*network)) {
            const auto found = events.find(device.record.mac);
            read += found == events.end() ? 0 : found->second.size();
            spans += presence::PresenceSpans(
                         found == events.end() ? std::vector<presence::CardEvent>() : found->second,
                         device.firstSeen, device.lastSeen, device.present,
                         simulated - presence::TimelineMs, simulated)
                         .size();
        }
    std::printf("the last seven days of every device, as the history dialog reads them off the "
                "window's thread: %zu changes, %zu spans, %.1f ms\n",
                read, spans, double(timer.nsecsElapsed()) / 1e6);
    return 0;
}
