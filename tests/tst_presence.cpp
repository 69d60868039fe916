// The presence store and rule on a clock of the test's own: the rule's
// figures, networks told by their gateways (a neighbour answering for the
// gateway included), the bounds a flood of cards meets, cards that go,
// conflicting answers, two writers at once, the schema's migrations, a
// damaged, a newer and a locked file, the history's end after 400 days, the
// file's mode; Wake-on-LAN's packet and where it may go. Full and read-only
// folders and kill -9 in a write: presence/faults.sh.
#include "fakes.h"

#include "network/gateways.h"
#include "presence/clock.h"
#include "presence/historyrows.h"
#include "presence/mergeddevice.h"
#include "presence/recorder.h"
#include "presence/rule.h"
#include "presence/storedb.h"
#include "presence/wakeonlan.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <set>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace presence;

namespace {

qint64 fakeNow = 0;
qint64 FakeNow()
{
    return fakeNow;
}
QList<GatewayRoute> routes;
QList<GatewayRoute> FakeRoutes()
{
    return routes;
}

const qint64 Start = QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();

// Hosts of 198.51.100.0/24: last octet -> the last byte of a card 02:00:00:00:00:XX.
HostMap Hosts(std::initializer_list<std::pair<int, int>> hosts)
{
    HostMap map;
    for (const auto &[octet, card] : hosts)
        map[fakes::NetworkOrder(qPrintable(QStringLiteral("198.51.100.%1").arg(octet)))] =
            HostRecord({0x02, 0, 0, 0, 0, static_cast<unsigned char>(card)}, false);
    return map;
}

// hosts, the one at .octet giving these names (its card made universal where
// said).
HostMap Naming(HostMap hosts, int octet, const QString &mdns, const QString &netbios = {},
               bool universal = false)
{
    HostRecord &host =
        hosts.at(fakes::NetworkOrder(qPrintable(QStringLiteral("198.51.100.%1").arg(octet))));
    host.names.mdns = mdns;
    host.names.netbios = netbios;
    if (universal)
        host.mac.front() = 0x00;
    return hosts;
}

// hosts, the one at .octet announcing a DNS-SD instance and a UPnP UDN.
HostMap Announcing(HostMap hosts, int octet, const QString &instance, const QString &udn = {},
                   const QString &model = {})
{
    hosts.at(fakes::NetworkOrder(qPrintable(QStringLiteral("198.51.100.%1").arg(octet))))
        .identity = {{}, {}, model, {}, {}, {}, false, {instance}, udn};
    return hosts;
}

// n cards never seen before, one at each address from .2 on, the bytes of
// serial in the card.
HostMap Strangers(int n, int serial)
{
    HostMap map;
    for (int i = 0; i < n; ++i)
        map[fakes::NetworkOrder(qPrintable(QStringLiteral("198.51.100.%1").arg(2 + i)))] =
            HostRecord({0x06, static_cast<unsigned char>(serial >> 8),
                        static_cast<unsigned char>(serial), 0, 0, static_cast<unsigned char>(i)},
                       false);
    return map;
}

// The cards no test keeps, where not said otherwise (the user's comments are
// never read).
StoreOptions Options(int busyTimeoutMs = 5000, std::set<Mac> kept = {})
{
    return {busyTimeoutMs, [kept] { return kept; }};
}

ScanResult Scan(const HostMap &hosts, qint64 seconds)
{
    // The gateway as the scan reads it when it begins: the test's routes.
    Ipv4Network network{QHostAddress(QStringLiteral("198.51.100.1")),
                        QHostAddress(QStringLiteral("255.255.255.0")), QStringLiteral("eth0")};
    network.gateway = GatewayOf(0xC6336401, 0xFFFFFF00, network.interfaceName);
    return {network, hosts, Start + seconds * 1000};
}

// "new .12 0C", "mac-changed .10 0D was 0A new", "address-changed .21 0B was .20".
QStringList Said(const ScanChanges &changes)
{
    QStringList said;
    for (const Change &change : changes.changes) {
        const auto card = [](const Mac &mac) { return QString::asprintf("%02x", mac.back()); };
        QString text = QStringLiteral("%1 .%2 %3")
                           .arg(KindName(change.kind))
                           .arg(HostOrderAddress(change.key) & 0xFF)
                           .arg(card(change.record.mac));
        if (!change.previousMac.empty())
            text += QStringLiteral(" was ") + card(change.previousMac);
        if (change.previousKey)
            text += QStringLiteral(" was .%1").arg(HostOrderAddress(change.previousKey) & 0xFF);
        said.append(text + (change.newDevice && change.kind != ChangeKind::New ? " new" : ""));
    }
    return said;
}

QStringList Column(const QString &file, const QString &statement)
{
    QStringList values;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(file);
        db.open();
        QSqlQuery query(statement, db);
        while (query.next())
            values.append(query.value(0).toString());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return values;
}

// A card of 198.51.100.0/24 the store holds: at .octet, 02:00:00:00:00:card,
// last seen `seconds` after Start, missed `missed` scans since.
Card Held(int octet, int card, qint64 seconds, bool present, int missed = 0)
{
    Card held;
    held.mac = {0x02, 0, 0, 0, 0, static_cast<unsigned char>(card)};
    held.firstSeen = Start;
    held.lastSeen = Start + seconds * 1000;
    held.address = QHostAddress(QStringLiteral("198.51.100.%1").arg(octet)).toIPv4Address();
    held.present = present;
    held.since = Start;
    held.missed = missed;
    held.stored = true;
    return held;
}

Known Holding(std::initializer_list<Card> cards)
{
    Known known;
    for (const Card &card : cards)
        known.cards[card.mac] = card;
    return known;
}

// What Decide said, as Said says a store's changes: "new .12 0c", "flood 4".
QStringList Told(const Decision &decision)
{
    QStringList told;
    for (const Event &event : decision.events) {
        if (event.kind == ChangeKind::Flood) {
            told.append(QStringLiteral("flood %1").arg(event.count));
            continue;
        }
        const auto card = [](const Mac &mac) { return QString::asprintf("%02x", mac.back()); };
        QString text = QStringLiteral("%1 .%2 %3")
                           .arg(KindName(event.kind))
                           .arg(event.address & 0xFF)
                           .arg(card(event.mac));
        if (!event.previousMac.empty())
            text += QStringLiteral(" was ") + card(event.previousMac);
        if (event.previousAddress)
            text += QStringLiteral(" was .%1").arg(*event.previousAddress & 0xFF);
        told.append(text);
    }
    return told;
}

// n times "new .x 06..": the strangers Decide takes, from .2 on.
QStringList NewStrangers(int n)
{
    QStringList told;
    for (int i = 0; i < n; ++i)
        told.append(QStringLiteral("new .%1 %2").arg(2 + i).arg(i, 2, 16, QLatin1Char('0')));
    return told;
}

} // namespace

class TestPresence : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString file;
    fakes::SafeNetwork network;

private slots:
    void init()
    {
        SetClock(&FakeNow);
        SetGatewayLister(&FakeRoutes);
        routes.clear();
        fakeNow = Start;
        file = dir.filePath(QStringLiteral("%1/presence.sqlite").arg(QTest::currentTestFunction()));
        QDir().mkpath(QFileInfo(file).path());
        QFile::remove(file);
    }

    void decide_data()
    {
        QTest::addColumn<Known>("known");
        QTest::addColumn<HostMap>("hosts");
        QTest::addColumn<int>("seconds"); // the scan's time after Start
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("unrecorded");

        Known first = Holding({});
        first.firstScan = true;
        QTest::newRow("the first scan only learns")
            << first << Hosts({{10, 0xA}, {11, 0xB}}) << 0 << QStringList{} << 0;
        const Known a = Holding({Held(10, 0xA, 0, true)});
        QTest::newRow("new") << a << Hosts({{10, 0xA}, {11, 0xB}}) << 10
                             << QStringList{"new .11 0b"} << 0;
        QTest::newRow("arrived") << Holding({Held(10, 0xA, 0, false)}) << Hosts({{10, 0xA}}) << 10
                                 << QStringList{"arrived .10 0a"} << 0;
        QTest::newRow("address changed")
            << a << Hosts({{20, 0xA}}) << 10 << QStringList{"address-changed .20 0a was .10"} << 0;
        QTest::newRow("mac changed")
            << a << Hosts({{10, 0xB}}) << 10 << QStringList{"mac-changed .10 0b was 0a"} << 0;
        QTest::newRow("a scan older than the store's tells nothing")
            << Holding({Held(10, 0xA, 100, false)}) << Hosts({{10, 0xA}}) << 50 << QStringList{}
            << 0;
        QTest::newRow("two scans missed")
            << Holding({Held(10, 0xA, 0, true, 1)}) << HostMap() << 600 << QStringList{} << 0;
        QTest::newRow("three scans missed, a minute since")
            << Holding({Held(10, 0xA, 0, true, 2)}) << HostMap() << 60 << QStringList{"left .10 0a"}
            << 0;
        QTest::newRow("three scans missed, not a minute since")
            << Holding({Held(10, 0xA, 0, true, 2)}) << HostMap() << 59 << QStringList{} << 0;

        // Strangers come from .2 on: the card held is further.
        const Known far = Holding({Held(200, 0xA, 0, true)});
        QTest::newRow("a flood, per scan")
            << far << Strangers(20, 1) << 10 << (NewStrangers(16) << "flood 4") << 4;
        Known told = far;
        told.floodTold = true;
        QTest::newRow("a flood, told this hour")
            << told << Strangers(20, 1) << 10 << NewStrangers(16) << 4;
        Known busyHour = far;
        busyHour.recentNewCards = NewCardsPerHour - 4;
        QTest::newRow("a flood, per hour")
            << busyHour << Strangers(20, 1) << 10 << (NewStrangers(4) << "flood 16") << 16;
        Known firstFlood = first;
        QTest::newRow("a first scan takes every card")
            << firstFlood << Strangers(40, 1) << 0 << QStringList{} << 0;

        HostMap conflict = Hosts({{10, 0xA}});
        conflict.begin()->second.conflictMac = {0x02, 0, 0, 0, 0, 0xB};
        QTest::newRow("a conflict")
            << a << conflict << 10 << QStringList{"conflict .10 0a was 0b"} << 0;
        Known conflictTold = a;
        conflictTold.conflictsTold = {Held(10, 0xA, 0, true).address};
        QTest::newRow("a conflict told this hour")
            << conflictTold << conflict << 10 << QStringList{} << 0;

        // A private card back with a name its owner chose is its device's.
        const auto named = [](Card card, const QString &mdns, const QString &netbios = {}) {
            card.names.mdns = mdns;
            card.names.netbios = netbios;
            return card;
        };
        Known gone = Holding({});
        gone.namesakes[Held(10, 0xA, 0, false).mac] = named(Held(10, 0xA, 0, false), "lea.local");
        const HostMap back = Naming(Hosts({{20, 0xB}}), 20, "Lea.local");
        QTest::newRow("a private card back with its name")
            << gone << back << 10 << QStringList{"card-linked .20 0b was 0a"} << 0;
        QTest::newRow("a universal card is never linked")
            << gone << Naming(Hosts({{20, 0xB}}), 20, "lea.local", {}, true) << 10
            << QStringList{"new .20 0b"} << 0;
        Known byNetbios = Holding({});
        byNetbios.namesakes[Held(10, 0xA, 0, false).mac] =
            named(Held(10, 0xA, 0, false), {}, "PC-DE-LEA");
        QTest::newRow("a NetBIOS name")
            << byNetbios << Naming(Hosts({{20, 0xB}}), 20, {}, "pc-de-lea") << 10
            << QStringList{"card-linked .20 0b was 0a"} << 0;
        Known phone = Holding({});
        phone.namesakes[Held(10, 0xA, 0, false).mac] =
            named(Held(10, 0xA, 0, false), "iPhone.local");
        QTest::newRow("a default name links nothing")
            << phone << Naming(Hosts({{20, 0xB}}), 20, "iphone.local") << 10
            << QStringList{"new .20 0b"} << 0;
        Known shared = gone;
        shared.namesakes[Held(11, 0xC, 0, false).mac] = named(Held(11, 0xC, 0, false), "lea.local");
        QTest::newRow("a name two devices share links nothing")
            << shared << back << 10 << QStringList{"new .20 0b"} << 0;
        Known oneDevice = shared;
        oneDevice.namesakes.at(Held(11, 0xC, 0, false).mac).device = Held(10, 0xA, 0, false).mac;
        QTest::newRow("two cards of one device")
            << oneDevice << back << 10 << QStringList{"card-linked .20 0b was 0a"} << 0;
        const Known there = Holding({named(Held(10, 0xA, 0, true), "lea.local")});
        QTest::newRow("the device there too links nothing")
            << there << Naming(Hosts({{10, 0xA}, {20, 0xB}}), 20, "lea.local") << 10
            << QStringList{"new .20 0b"} << 0;
        QTest::newRow("a neighbour giving the name too links nothing")
            << gone << Naming(Naming(Hosts({{20, 0xB}, {21, 0xD}}), 20, "lea.local"), 21, "lea")
            << 10 << (QStringList{"new .20 0b", "new .21 0d"}) << 0;
        QTest::newRow("the device's card still there gives way")
            << Holding({named(Held(10, 0xA, 0, true), "lea.local")}) << back << 10
            << QStringList{"card-linked .20 0b was 0a"} << 0;
        // What the host announced: a DNS-SD instance name, a UPnP UDN.
        const QString udn = QStringLiteral("uuid:4d696e69-444c-164e-9d41-b827eb123456");
        Known announced = Holding({});
        Card printer = Held(10, 0xA, 0, false);
        printer.signalKeys = {{"dnssd", "imprimante de léa"}, {"upnp", udn}};
        announced.namesakes[printer.mac] = printer;
        QTest::newRow("a DNS-SD instance name")
            << announced << Announcing(Hosts({{20, 0xB}}), 20, "Imprimante de Léa (2)") << 10
            << QStringList{"card-linked .20 0b was 0a"} << 0;
        QTest::newRow("a UPnP UDN")
            << announced << Announcing(Hosts({{20, 0xB}}), 20, {}, udn.toUpper()) << 10
            << QStringList{"card-linked .20 0b was 0a"} << 0;
        announced.namesakes.begin()->second.signalKeys = {
            {"dnssd", "officejet pro 9010"}, {"upnp", "uuid:00000000-0000-0000-0000-000000000000"}};
        QTest::newRow("its model, a UDN of zeros link nothing")
            << announced
            << Announcing(Hosts({{20, 0xB}}), 20, "OfficeJet Pro 9010 [A1B2C3]",
                          "uuid:00000000-0000-0000-0000-000000000000", "HP OfficeJet Pro 9010")
            << 10 << QStringList{"new .20 0b"} << 0;
        // Announced after the scan that showed the card: linked then.
        Known late = Holding({Held(20, 0xB, 0, true)});
        late.namesakes[printer.mac] = printer;
        const HostMap lateBack = Announcing(Hosts({{20, 0xB}}), 20, "Imprimante de Léa");
        QTest::newRow("a card linked late")
            << late << lateBack << 300 << QStringList{"card-linked .20 0b was 0a"} << 0;
        QTest::newRow("a card too old to link") << late << lateBack << 601 << QStringList{} << 0;

        Known gateway = Holding({Held(254, 0xF1, 0, true), Held(10, 0xA, 0, true)});
        gateway.ownGateway = {0x02, 0, 0, 0, 0, 0xF1};
        gateway.gatewayKey = fakes::NetworkOrder("198.51.100.254");
        gateway.gatewayAnswered = {0x02, 0, 0, 0, 0, 0x66};
        QTest::newRow("another card for the gateway")
            << gateway << Hosts({{254, 0x66}, {10, 0xA}}) << 10
            << QStringList{"gateway-changed .254 66 was f1"} << 0;
        gateway.gatewayChangedTold = true;
        QTest::newRow("another card for the gateway, told this hour")
            << gateway << Hosts({{254, 0x66}, {10, 0xA}}) << 10 << QStringList{} << 0;
    }

    void decide()
    {
        QFETCH(Known, known);
        QFETCH(HostMap, hosts);
        QFETCH(int, seconds);
        QFETCH(QStringList, expected);
        QFETCH(int, unrecorded);
        const ScanResult scan = Scan(hosts, seconds);
        const Decision decision = Decide(known, scan, scan.time);
        QCOMPARE(Told(decision), expected);
        QCOMPARE(int(decision.unrecorded.size()), unrecorded);
        // Nothing the scan did not touch is written again.
        for (const Card &card : decision.cards)
            QVERIFY(card.changed);
    }

    void recorderTellsWhoIsThereAndTheNetworksLeft()
    {
        Recorder recorder(file, Options());
        // The first scan: everyone there, as arrived.
        const ScanChanges first = recorder.Take(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 0));
        QVERIFY(first.firstScan);
        QCOMPARE(Said(first), (QStringList{"arrived .10 0a", "arrived .11 0b"}));
        QCOMPARE(first.changes.front().time, Start);
        QVERIFY(recorder.EndRound().empty());
        // Then the changes only.
        QCOMPARE(Said(recorder.Take(Scan(Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), 10))),
                 QStringList{"new .12 0c"});
        QVERIFY(recorder.EndRound().empty());
        // Another network begins: only it is told whole; the first one,
        // scanned no more, has nobody there.
        ScanResult other = Scan(Hosts({{10, 0xD}}), 20);
        other.network.ip = QHostAddress(QStringLiteral("203.0.113.1"));
        other.hosts = {{fakes::NetworkOrder("203.0.113.10"), Hosts({{10, 0xD}}).begin()->second}};
        QCOMPARE(Said(recorder.Take(other)), QStringList{"arrived .10 0d"});
        const std::vector<Unwatched> gone = recorder.EndRound();
        QCOMPARE(gone.size(), std::size_t(1));
        QCOMPARE(gone.front().cidr, QStringLiteral("198.51.100.0/24"));
        QCOMPARE(gone.front().devices.size(), std::size_t(3));
        for (const Device &device : gone.front().devices)
            QVERIFY(!device.present);
        other.time += 5000;
        QVERIFY(recorder.Take(other).changes.empty());
        QVERIFY(recorder.EndRound().empty());
        // Back: not told whole again.
        QVERIFY(recorder.Take(Scan(Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), 30)).changes.empty());
    }

    void ruleOverTime()
    {
        Store store(file);
        const std::vector<std::tuple<qint64, HostMap, QStringList>> steps{
            // The first scan of a network only learns who is there.
            {0, Hosts({{10, 0xA}, {11, 0xB}}), {}},
            {10, Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), {"new .12 0c"}},
            // Three scans missed, then a minute since last seen: then gone, once.
            {20, Hosts({{10, 0xA}}), {}},
            {30, Hosts({{10, 0xA}}), {}},
            {40, Hosts({{10, 0xA}}), {}},
            {69, Hosts({{10, 0xA}}), {}},
            {70, Hosts({{10, 0xA}}), {"left .11 0b", "left .12 0c"}},
            {80, Hosts({{10, 0xA}}), {}},
            {90, Hosts({{10, 0xA}, {20, 0xB}}), {"arrived .20 0b"}},
            // Dozing through one scan is no departure.
            {100, Hosts({{10, 0xA}}), {}},
            {110, Hosts({{10, 0xA}, {20, 0xB}}), {}},
            {120, Hosts({{10, 0xD}, {20, 0xB}}), {"mac-changed .10 0d was 0a new"}},
            {130, Hosts({{10, 0xD}, {21, 0xB}}), {"address-changed .21 0b was .20"}},
            {140, Hosts({{10, 0xA}, {21, 0xB}}), {"mac-changed .10 0a was 0d"}},
        };
        for (const auto &[seconds, hosts, expected] : steps) {
            const ScanChanges changes = store.Record(Scan(hosts, seconds));
            QVERIFY(changes.written && changes.known && changes.status.isEmpty());
            QCOMPARE(changes.firstScan, seconds == 0);
            QCOMPARE(Said(changes), expected);
        }
        fakeNow = Start + 145 * 1000;
        const std::vector<Device> devices = store.Devices({QStringLiteral("198.51.100.0/24"), {}});
        QStringList listed;
        for (const Device &device : devices)
            listed.append(QStringLiteral("%1%2").arg(device.record.mac.back()).arg(device.present));
        QCOMPARE(listed, (QStringList{"101", "111", "130", "120"})); // A, B; then D, C
        QCOMPARE(devices[1].firstSeen, Start);
        QCOMPARE(devices[1].since, Start + 90 * 1000);
        // With nobody scanning for a minute, nobody is known to be there.
        fakeNow += LeaveAfterMs;
        QVERIFY(!store.Devices({QStringLiteral("198.51.100.0/24"), {}}).front().present);
    }

    void aPrivateCardBackIsItsDevice()
    {
        Store store(file, Options());
        const HostMap lea = Naming(Hosts({{10, 0xA}, {30, 0xE}}), 30, "lea.local");
        store.Record(Scan(Hosts({{10, 0xA}}), 0));
        QCOMPARE(Said(store.Record(Scan(lea, 10))), QStringList{"new .30 0e"});
        // Back with another private card and the same name, the one before gone.
        const ScanChanges back =
            store.Record(Scan(Naming(Hosts({{10, 0xA}, {31, 0xF}}), 31, "Lea.local"), 20));
        QCOMPARE(Said(back), QStringList{"card-linked .31 0f was 0e"});
        QVERIFY(!back.changes.front().newDevice);
        QCOMPARE(back.changes.front().device, Hosts({{30, 0xE}}).begin()->second.mac);
        QCOMPARE(back.changes.front().signalKind, QStringLiteral("mdns"));
        QCOMPARE(back.changes.front().signal, QStringLiteral("Lea.local"));
        fakeNow = Start + 25 * 1000;
        QStringList cards;
        for (const Device &device : store.Devices(back.network))
            if (device.record.mac.back() == 0xF)
                for (const Mac &mac : device.macs)
                    cards.append(QString::number(mac.back(), 16));
        QCOMPARE(cards, (QStringList{"f", "e"}));
        // The user's word: A and that device are one (never A with itself, nor
        // across networks), present while one card answers (A's going is no
        // Left); then apart again.
        const Mac a = Hosts({{10, 0xA}}).begin()->second.mac,
                  e = Hosts({{30, 0xE}}).begin()->second.mac,
                  f = Hosts({{31, 0xF}}).begin()->second.mac;
        std::vector<Change> linked;
        QVERIFY(!store.Merge(back.network, a, a) &&
                !store.Merge({QStringLiteral("203.0.113.0/24"), {}}, a, f));
        QVERIFY(store.Merge(back.network, a, f, &linked) && linked.size() == 2);
        QStringList said;
        for (int seconds : {30, 40, 50, 90})
            said += Said(store.Record(Scan(Hosts({{31, 0xF}}), seconds)));
        QCOMPARE(said, (QStringList{"card-linked .30 0e was 0a", "card-linked .31 0f was 0a"}));
        fakeNow = Start + 95 * 1000;
        const std::vector<Device> one = OnePerDevice(store.Devices(back.network));
        QVERIFY(one.size() == 1 && one[0].present && one[0].macs.size() == 3);
        QVERIFY(store.Split(back.network, f) && store.Split(back.network, a) &&
                !store.Split(back.network, e));
        QCOMPARE(Said(store.Record(Scan(Hosts({{31, 0xF}}), 100))),
                 (QStringList{"card-unlinked .31 0f was 0a", "card-unlinked .10 0a was 0e"}));

        // A card its host's announcements link after the scan that showed it.
        identify::Identity printer;
        printer.instances = QStringList{"Imprimante de Léa"};
        store.Record(Scan(Hosts({{10, 0xA}, {40, 0xC}}), 130));
        QVERIFY(store.SaveIdentities({{Hosts({{40, 0xC}}).begin()->second.mac, printer}}, Start));
        const HostMap plain = Hosts({{10, 0xA}, {41, 0xD}});
        QCOMPARE(Said(store.Record(Scan(plain, 140))), QStringList{"new .41 0d"});
        QCOMPARE(Said(store.Record(Scan(Announcing(plain, 41, printer.instances[0]), 150))),
                 QStringList{"card-linked .41 0d was 0c"});
    }

    void networksAreToldByTheirGateway()
    {
        routes = {{QStringLiteral("eth0"),
                   QHostAddress(QStringLiteral("198.51.100.254")).toIPv4Address(), true, 0}};
        Store store(file);
        const auto with = [](int gateway, int card) { return Hosts({{254, gateway}, {10, card}}); };
        QVERIFY(store.Record(Scan(with(0xF1, 0xA), 0)).firstScan);
        // The café's network of the same addresses, ten minutes later: a
        // history of its own, whose first visit tells nothing.
        const ScanChanges cafe = store.Record(Scan(with(0xF2, 0xB), 600));
        QVERIFY(cafe.firstScan && cafe.changes.empty());
        QCOMPARE(cafe.network.gatewayMac, (Mac{2, 0, 0, 0, 0, 0xF2}));
        const ScanChanges home = store.Record(Scan(with(0xF1, 0xA), 1200));
        QVERIFY(!home.firstScan && home.changes.empty());
        QCOMPARE(store.Devices(cafe.network).size(), std::size_t(2));
        // A gateway that missed a scan: the network of a moment ago, for a minute.
        const ScanChanges silent = store.Record(Scan(Hosts({{10, 0xA}, {11, 0xC}}), 1210));
        QVERIFY(silent.known);
        QVERIFY(silent.network == home.network);
        QCOMPARE(Said(silent), QStringList{"new .11 0c"});
        QVERIFY(!store.Record(Scan(Hosts({{10, 0xA}}), 1400)).known);
        QVERIFY(store.LatestNetwork(QStringLiteral("198.51.100.0/24")) == home.network);
    }

    void aNeighbourCannotBlindTheHistory_data()
    {
        QTest::addColumn<bool>("fresh"); // a new card for the gateway at each scan
        QTest::addColumn<int>("period"); // seconds between scans
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a new card each scan")
            << true << 10 << QStringList{"gateway-changed .254 81 was f1", "new .20 0d"};
        QTest::newRow("one fake card")
            << false << 10 << QStringList{"gateway-changed .254 66 was f1", "new .20 0d"};
        // Past a minute, the cards that answer again tell the network.
        QTest::newRow("a new card each scan, five minutes apart")
            << true << 300 << QStringList{"gateway-changed .254 81 was f1", "new .20 0d"};
    }

    void aNeighbourCannotBlindTheHistory()
    {
        QFETCH(bool, fresh);
        QFETCH(int, period);
        QFETCH(QStringList, expected);
        routes = {{QStringLiteral("eth0"),
                   QHostAddress(QStringLiteral("198.51.100.254")).toIPv4Address(), true, 0}};
        Store store(file, Options());
        const auto hosts = [](int gateway) {
            return Hosts({{254, gateway}, {10, 0xA}, {11, 0xB}, {12, 0xC}});
        };
        const ScanChanges first = store.Record(Scan(hosts(0xF1), 0));
        QVERIFY(first.firstScan);
        QStringList said;
        for (int i = 1; i <= 8; ++i) {
            HostMap scanned = hosts(fresh ? 0x80 + i : 0x66);
            if (i >= 4) // a device joins
                scanned.merge(Hosts({{20, 0xD}}));
            const ScanChanges changes = store.Record(Scan(scanned, i * period));
            QVERIFY(changes.known && !changes.firstScan);
            QVERIFY(changes.network == first.network);
            said += Said(changes);
        }
        QCOMPARE(said, expected);
        QCOMPARE(Column(file, QStringLiteral("SELECT count(*) FROM networks")), QStringList{"1"});
        // The fake card is not a device of the network; the gateway's own stays.
        QStringList devices;
        for (const Device &device : store.Devices(first.network))
            devices.append(QString::number(device.record.mac.back(), 16));
        QCOMPARE(devices, (QStringList{"a", "b", "c", "d", "f1"}));
    }

    void aFloodOfCardsIsBounded()
    {
        // 20 scans of 250 cards never seen, then one an hour later.
        Store store(file, Options());
        const HostMap stay = Hosts({{252, 0xA}, {253, 0xB}});
        QVERIFY(store.Record(Scan(stay, 0)).firstScan);
        int admitted = 0, floods = 0;
        const auto flood = [&](int serial, qint64 seconds) {
            HostMap hosts = Strangers(250, serial);
            hosts.insert(stay.begin(), stay.end());
            const ScanChanges changes = store.Record(Scan(hosts, seconds));
            int fresh = 0, told = 0;
            for (const Change &change : changes.changes) {
                fresh += change.newDevice;
                if (change.kind == ChangeKind::Flood) {
                    ++floods;
                    QCOMPARE(change.count, 250 - NewCardsPerScan);
                    QVERIFY(change.record.mac.empty());
                }
                told += change.kind != ChangeKind::Left;
            }
            // The new cards of a scan make one notice, and a flood one an hour.
            QVERIFY(fresh <= NewCardsPerScan);
            QVERIFY(told <= fresh + 1);
            QCOMPARE(int(changes.unrecorded.size()), 250 - fresh);
            admitted += fresh;
        };
        for (int scan = 1; scan <= 20; ++scan)
            flood(scan, scan * 10);
        QCOMPARE(admitted, NewCardsPerHour);
        QCOMPARE(floods, 1);
        QCOMPARE(Column(file, QStringLiteral("SELECT count(*) FROM devices")),
                 QStringList{QString::number(2 + NewCardsPerHour)});
        QCOMPARE(Column(file, QStringLiteral("SELECT count(*) FROM networks")), QStringList{"1"});
        // An hour after the first, cards come in again, and the flood is told again.
        flood(99, 3700);
        QCOMPARE(admitted, NewCardsPerHour + NewCardsPerScan);
        QCOMPARE(floods, 2);
    }

    void identitiesAreKeptPerCard()
    {
        Store store(file);
        QVERIFY(store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 0)).written);
        const Mac card{0x02, 0, 0, 0, 0, 0xA};
        identify::Identity printer;
        printer.type = identify::DeviceType::Printer;
        printer.model = QStringLiteral("OfficeJet Pro 9010");
        printer.friendlyName = QStringLiteral("<b>Bureau</b>");
        printer.manufacturer = QStringLiteral("HP");
        printer.services = {QStringLiteral("_ipp._tcp")};
        printer.instances = {QStringLiteral("Bureau")};
        printer.udn = QStringLiteral("uuid:1");
        printer.evidence = {{QStringLiteral("mdns"), QStringLiteral("_ipp._tcp")},
                            {QStringLiteral("self"), QString()}};
        QVERIFY(store.SaveIdentities({{card, printer}}, Start + 1000));
        identify::Identity older;
        older.model = QStringLiteral("older");
        QVERIFY(store.SaveIdentities({{card, older}}, Start)); // learnt before: left out
        const CardIdentities read = Store(file).Identities();
        QCOMPARE(read.size(), std::size_t(1));
        const identify::Identity &back = read.at(card);
        QCOMPARE(back.type, identify::DeviceType::Printer);
        QCOMPARE(back.model, printer.model);
        QCOMPARE(back.friendlyName, printer.friendlyName);
        QCOMPARE(back.manufacturer, printer.manufacturer);
        QCOMPARE(back.services, printer.services);
        QCOMPARE(back.evidence, printer.evidence);
        QCOMPARE(back.instances + QStringList{back.udn},
                 printer.instances + QStringList{printer.udn});
        QCOMPARE(Column(file, QStringLiteral("SELECT kind || key FROM card_signals")),
                 QStringList{"dnssdbureau"});
        QVERIFY(back.thisMachine);
        // Every device read carries its card's; one of no identity the default.
        for (const Device &device : store.AllDevices())
            QCOMPARE(device.record.identity.model,
                     device.record.mac == card ? printer.model : QString());
    }

    void cardsGo()
    {
        const Mac kept{2, 0, 0, 0, 0, 0xC};
        Store store(file, Options(5000, {kept}));
        store.Record(Scan(Hosts({{10, 0xA}}), 0));
        store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), 10));
        for (int seconds : {20, 30, 100})
            store.Record(Scan(Hosts({{10, 0xA}}), seconds));
        // Seen in one scan and absent for a day: gone with its events, unless
        // it has a comment.
        QCOMPARE(Said(store.Record(Scan(Hosts({{10, 0xA}}), OneScanCardMs / 1000 + 110))),
                 QStringList{"forgotten .11 0b"});
        QCOMPARE(Column(file, QStringLiteral("SELECT kind FROM events WHERE hex(mac) = "
                                             "'02000000000B'")),
                 QStringList{"forgotten"});

        // Past 4096 cards on a network, the least recently seen go first.
        Column(file, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                    "FROM n WHERE i < 4100) INSERT INTO devices SELECT 1, "
                                    "CAST(printf('card%05d', i) AS BLOB), %1, %1 + i, 0, '', '', "
                                    "'', '', 0, 0, %1 + i, 0, x'', '' FROM n")
                         .arg(Start));
        const QByteArray oldest("card00001");
        Store withComment(file, Options(5000, {kept, Mac(oldest.begin(), oldest.end())}));
        const qint64 later = OneScanCardMs / 1000 + 120;
        const ScanChanges evicted = withComment.Record(Scan(Hosts({{10, 0xA}, {13, 0xD}}), later));
        QCOMPARE(Column(file, QStringLiteral("SELECT count(*) FROM devices")),
                 QStringList{QString::number(CardsPerNetwork)});
        QStringList gone;
        for (const Change &change : evicted.changes)
            if (change.kind == ChangeKind::Forgotten)
                gone.append(
                    QString::fromLatin1(reinterpret_cast<const char *>(change.record.mac.data()),
                                        qsizetype(change.record.mac.size())));
        // A, C and D, 4100 cards: 7 too many; the oldest has a comment.
        QCOMPARE(gone, (QStringList{"card00002", "card00003", "card00004", "card00005", "card00006",
                                    "card00007", "card00008"}));

        // Forgotten by the user: every program recording the network is told.
        QVERIFY(store.Forget({QStringLiteral("198.51.100.0/24"), {}}, {2, 0, 0, 0, 0, 0xD}));
        QCOMPARE(Said(withComment.Record(Scan(Hosts({{10, 0xA}}), later + 10))),
                 QStringList{"forgotten .13 0d"});
    }

    void conflictsAreToldNotObeyed_data()
    {
        QTest::addColumn<bool>("holderFirst"); // the card that holds it is mac, not conflictMac
        QTest::newRow("the holder's card first") << true;
        QTest::newRow("the other card first") << false;
    }

    void conflictsAreToldNotObeyed()
    {
        QFETCH(bool, holderFirst);
        Store store(file, Options());
        store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 0));
        QStringList said;
        for (int i = 1; i <= 8; ++i) {
            HostMap hosts = Hosts({{10, 0xA}, {11, 0xB}});
            HostRecord &claimed = hosts.at(fakes::NetworkOrder("198.51.100.10"));
            claimed.conflictMac = {2, 0, 0, 0, 0, 0xE};
            if (!holderFirst)
                std::swap(claimed.mac, claimed.conflictMac);
            said += Said(store.Record(Scan(hosts, i * 10)));
        }
        // Once an hour; the card that held the address is neither gone nor moved.
        QCOMPARE(said,
                 QStringList{holderFirst ? "conflict .10 0a was 0e" : "conflict .10 0e was 0a"});
        fakeNow = Start + 85 * 1000;
        const std::vector<Device> devices = store.Devices({QStringLiteral("198.51.100.0/24"), {}});
        QCOMPARE(devices.size(), std::size_t(2));
        QCOMPARE(devices[0].record.mac, (Mac{2, 0, 0, 0, 0, 0xA}));
        QVERIFY(devices[0].present);
        QCOMPARE(AddressText(devices[0].key), QStringLiteral("198.51.100.10"));
    }

    // A card on two networks of one agent (a router on two VLANs) is one
    // device: where it is present, else where it was seen last; first seen
    // when either network first saw it.
    void cardOnTwoNetworksIsOneDevice_data()
    {
        QTest::addColumn<bool>("presentOnSecond");
        QTest::addColumn<QString>("shown"); // the network of the device shown
        QTest::newRow("present on one") << true << QStringLiteral("198.51.100.0/24");
        QTest::newRow("absent: where seen last") << false << QStringLiteral("203.0.113.0/24");
    }
    void cardOnTwoNetworksIsOneDevice()
    {
        QFETCH(bool, presentOnSecond);
        QFETCH(QString, shown);
        const auto seen = [](const char *cidr, bool present, qint64 first, qint64 last) {
            Device device;
            device.network.cidr = QString::fromLatin1(cidr);
            device.present = present;
            device.firstSeen = first;
            device.lastSeen = last;
            return device;
        };
        const Device merged = MergedDevice({seen("203.0.113.0/24", false, 10, 200),
                                            seen("198.51.100.0/24", presentOnSecond, 50, 100)});
        QCOMPARE(merged.network.cidr, shown);
        QCOMPARE(merged.present, presentOnSecond);
        QCOMPARE(merged.firstSeen, qint64(10));
    }

    void fileIsPrivate()
    {
#ifdef Q_OS_UNIX
        const mode_t umaskBefore = ::umask(022);
        {
            Store store(file, Options());
            store.Record(Scan(Hosts({{ 10, 0xA }}), 0));
            for (const char *suffix : {"", "-wal", "-shm"}) {
                struct stat status;
                QCOMPARE(::stat(qPrintable(file + QLatin1String(suffix)), &status), 0);
                QCOMPARE(status.st_mode & 0777, mode_t(0600));
            }
        }
        ::umask(umaskBefore);
#else
        QSKIP("Unix file modes");
#endif
    }

    void twoWritersRecordEachChangeOnce()
    {
        // Two programs scanning the same network; .30 is there for ten scans
        // out of twenty: it leaves, comes back and leaves again, once each.
        std::set<qint64> told[2];
        QStringList statuses[2];
        int duplicates = 0;
        const auto writer = [&](int which) {
            Store store(file);
            for (int i = 0; i < 40; ++i) {
                HostMap hosts = Hosts({{10, 0xA}});
                for (int octet = 40; octet < 100; ++octet)
                    hosts.merge(Hosts({{octet, octet + 100}}));
                if ((i / 10) % 2 == 0)
                    hosts.merge(Hosts({{30, 0x30}}));
                const ScanChanges changes = store.Record(Scan(hosts, i * 10));
                statuses[which].append(changes.status);
                for (const Change &change : changes.changes)
                    duplicates += !told[which].insert(change.id).second;
            }
        };
        std::unique_ptr<QThread> threads[] = {std::unique_ptr<QThread>(QThread::create(writer, 0)),
                                              std::unique_ptr<QThread>(QThread::create(writer, 1))};
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(120000));
        QCOMPARE(statuses[0].join(QString()) + statuses[1].join(QString()), QString());
        QCOMPARE(
            Column(file, QStringLiteral("SELECT kind || ' ' || ((time - %1) / 1000) FROM events "
                                        "ORDER BY id")
                             .arg(Start)),
            (QStringList{"left 150", "arrived 200", "left 350"}));
        told[0].merge(told[1]);
        QCOMPARE(told[0].size(), std::size_t(3));
        QCOMPARE(duplicates, 0);
    }

    void migrationsFromEveryVersion_data()
    {
        QTest::addColumn<int>("from");
        for (int version = 0; version < db::CurrentVersion(); ++version)
            QTest::addRow("version %d", version) << version;
    }

    void migrationsFromEveryVersion()
    {
        QFETCH(int, from);
        const QString fresh = file + QStringLiteral(".fresh");
        QFile::remove(fresh);
        Store(fresh).Record(Scan(Hosts({{10, 0xA}}), 0));
        for (int version = 0; version < from; ++version)
            for (const QString &statement : db::MigrationStatements(version))
                Column(file, statement);
        Column(file, QStringLiteral("PRAGMA user_version = %1").arg(from));
        // A change of the earlier version is kept.
        if (from > 0) {
            Column(file, QStringLiteral("INSERT INTO networks (id, cidr, gateway_mac, interface, "
                                        "first_scan, last_scan) VALUES (1, '198.51.100.0/24', "
                                        "x'', 'eth0', %1, %1)")
                             .arg(Start));
            Column(file, QStringLiteral("INSERT INTO events (time, network, kind, mac, address) "
                                        "VALUES (%1, 1, 'new', x'02000000000A', 0)")
                             .arg(Start));
        }
        QVERIFY(Store(file).Record(Scan(Hosts({{10, 0xA}}), 10)).written);
        QCOMPARE(Column(file, QStringLiteral("SELECT kind FROM events")),
                 from > 0 ? (QStringList{"new", "new"}) : QStringList{});
        const QString schema = QStringLiteral("SELECT sql FROM sqlite_master ORDER BY name");
        QCOMPARE(Column(file, schema), Column(fresh, schema));
        QCOMPARE(Column(file, QStringLiteral("PRAGMA user_version")),
                 QStringList{QString::number(db::CurrentVersion())});
    }

    void damagedOrNewerFiles_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::addColumn<QString>("said");
        QTest::newRow("not a database") << QByteArray(8192, 'x') << "Historique abîmé mis de côté";
        QTest::newRow("a damaged page") << QByteArray("page") << "Historique abîmé mis de côté";
        QTest::newRow("newer") << QByteArray("newer") << "version plus récente";
    }

    void damagedOrNewerFiles()
    {
        QFETCH(QByteArray, damage);
        QFETCH(QString, said);
        QFile::remove(file + QStringLiteral(".corrupt-2026-12-07"));
        if (damage == "page" || damage == "newer") {
            Store store(file);
            HostMap many;
            for (int octet = 2; octet < 250; ++octet)
                many.merge(Hosts({{octet, octet}}));
            QVERIFY(store.Record(Scan(many, 0)).written);
        }
        QFile damaged(file);
        if (damage == "newer") {
            Column(file, QStringLiteral("PRAGMA user_version = 99"));
        } else {
            QVERIFY(damaged.open(damage == "page" ? QIODevice::ReadWrite : QIODevice::WriteOnly));
            damaged.seek(damage == "page" ? 4096 : 0);
            damaged.write(damage == "page" ? QByteArray(4096, '\x55') : damage);
            damaged.close();
        }
        Store store(file);
        const ScanChanges first = store.Record(Scan(Hosts({{10, 0xA}}), 10));
        QVERIFY2(first.status.contains(said), qPrintable(first.status));
        const ScanChanges second = store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 20));
        if (damage == "newer") {
            // Left as it is, for the newer program; kept in memory meanwhile.
            QVERIFY(!second.written && second.status.contains(said));
            QCOMPARE(Said(second), QStringList{"new .11 0b"});
            QCOMPARE(Column(file, QStringLiteral("PRAGMA user_version")), QStringList{"99"});
            QVERIFY(!QFile::exists(file + QStringLiteral(".corrupt-2026-12-07")));
            return;
        }
        // Said once; the damaged file kept aside, a new history begun.
        QVERIFY(second.written && second.status.isEmpty());
        QCOMPARE(Said(second), QStringList{"new .11 0b"});
        QVERIFY(QFile::exists(file + QStringLiteral(".corrupt-2026-12-07")));
        QCOMPARE(Column(file, QStringLiteral("PRAGMA integrity_check")), QStringList{"ok"});
    }

    void lockedFileKeepsTheHistoryInMemory()
    {
        // A short wait: the test waits it out twice, as the store means to.
        constexpr int BusyMs = 300;
        auto store = std::make_unique<Store>(file, Options(BusyMs));
        store->Record(Scan(Hosts({{10, 0xA}}), 0));
        QSqlDatabase other =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(file);
        QSqlError error;
        QVERIFY(other.open() && db::Run(other, QStringLiteral("BEGIN EXCLUSIVE"), error));
        const ScanChanges locked = store->Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 10));
        QVERIFY(!locked.written);
        QCOMPARE(locked.status,
                 QStringLiteral("Historique non enregistré\u00a0: fichier occupé par "
                                "un autre programme"));
        QCOMPARE(Said(locked), QStringList{"new .11 0b"});
        // Waited once in vain: the next scans do not wait again, nor the end.
        QElapsedTimer waited;
        waited.start();
        QVERIFY(!store->Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 15)).written);
        QVERIFY2(waited.elapsed() < BusyMs * 9 / 10, qPrintable(QString::number(waited.elapsed())));
        QVERIFY(db::Run(other, QStringLiteral("ROLLBACK"), error));
        const ScanChanges back = store->Record(Scan(Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), 20));
        QVERIFY(back.written && back.status.isEmpty());
        QCOMPARE(Said(back), QStringList{"new .12 0c"});
        QCOMPARE(Column(file, QStringLiteral("SELECT kind FROM events ORDER BY id")),
                 (QStringList{"new", "new"}));
        QVERIFY(db::Run(other, QStringLiteral("BEGIN EXCLUSIVE"), error));
        QVERIFY(!store->Record(Scan(Hosts({{10, 0xA}, {11, 0xB}, {13, 0xD}}), 30)).written);
        waited.start();
        store.reset();
        QVERIFY2(waited.elapsed() < BusyMs * 9 / 10, qPrintable(QString::number(waited.elapsed())));
        QVERIFY(db::Run(other, QStringLiteral("ROLLBACK"), error));
        other.close();
    }

    void historyEndsAfter400Days()
    {
        Store store(file);
        store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), 0));
        store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}, {12, 0xC}}), 10));
        for (int seconds : {20, 30, 100})
            store.Record(Scan(Hosts({{10, 0xA}, {11, 0xB}}), seconds));
        const ScanChanges last = store.Record(Scan(Hosts({{10, 0xA}}), KeepHistoryMs / 1000 + 101));
        // The card that went is told, and its events went with it.
        QCOMPARE(Said(last), QStringList{"forgotten .12 0c"});
        QCOMPARE(Column(file, QStringLiteral("SELECT kind FROM events")), QStringList{"forgotten"});
        // The card gone for 400 days is forgotten; the one gone a moment ago is not.
        QCOMPARE(Column(file, QStringLiteral("SELECT hex(mac) FROM devices ORDER BY mac")),
                 (QStringList{"02000000000A", "02000000000B"}));
    }

    void wakeOnLan()
    {
        const QByteArray packet = MagicPacket({0x00, 0x11, 0x32, 0xAA, 0xBB, 0x10});
        QCOMPARE(packet.size(), 102);
        QCOMPARE(packet.left(12), QByteArray::fromHex("ffffffffffff001132aabb10"));
        QCOMPARE(packet.right(6), QByteArray::fromHex("001132aabb10"));
        QVERIFY(MagicPacket({1, 2, 3, 4, 5}).isEmpty());

        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        Device device;
        device.record.mac = {0x00, 0x11, 0x32, 0xAA, 0xBB, 0x10};
        device.network = {QStringLiteral("198.51.100.0/24"), {}};
        WakePlan plan = PlanWake(device);
        QCOMPARE(plan.refusal, QString());
        QCOMPARE(plan.source, QHostAddress(QStringLiteral("198.51.100.1")));
        QCOMPARE(plan.broadcast, QHostAddress(QStringLiteral("198.51.100.255")));
        // Its network's gateway answers with another card: another network.
        routes = {
            {QString(), QHostAddress(QStringLiteral("198.51.100.254")).toIPv4Address(), true, 0}};
        {
            QMutexLocker locker(&fakes::FakeLan::instance().mutex);
            fakes::FakeLan::instance().hosts[fakes::NetworkOrder("198.51.100.254")] = {
                {2, 0, 0, 0, 0, 0xF2}, 0};
        }
        QVERIFY(PlanWake(device).refusal.contains(QStringLiteral("autre réseau")));
        device.network.gatewayMac = {2, 0, 0, 0, 0, 0xF2};
        QCOMPARE(PlanWake(device).refusal, QString());
        device.network = {QStringLiteral("203.0.113.0/24"), {}};
        QVERIFY(
            PlanWake(device).refusal.contains(QStringLiteral("pas un réseau de cette machine")));
        device.record.mac.clear();
        QVERIFY(PlanWake(device).refusal.contains(QStringLiteral("sans adresse MAC")));

        // A wake tries the cards in their order; none can be woken here: the
        // first one's refusal, nothing sent.
        Device elsewhere;
        elsewhere.record.mac = {0x00, 0x11, 0x32, 0xAA, 0xBB, 0x10};
        elsewhere.network = {QStringLiteral("203.0.113.0/24"), {}};
        const WakeReport report = Wake({device, elsewhere});
        QCOMPARE(report.done, WakeDone::Refused);
        QVERIFY(report.fault.contains(QStringLiteral("sans adresse MAC")));
        QCOMPARE(report.sentence, QStringLiteral("Réveil impossible\u00a0: ") + report.fault);
    }
};

QTEST_GUILESS_MAIN(TestPresence)
#include "tst_presence.moc"
