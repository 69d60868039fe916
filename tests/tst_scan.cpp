// The probe and coordinator threads, driven by an in-process address
// resolution: no packet leaves the process except TCP connections to
// loopback. No window: the coordinator needs nothing but a receiver.
#include "fakes.h"
#include "messagelog.h"
#include "network/gateways.h"
#include "scan/arpthread.h"
#include "scan/checkthread.h"
#include "scan/identification.h"
#include "scan/scancollector.h"
#include "scan/scanrules.h"
#include "scan/scansession.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>

using fakes::NetworkOrder;

namespace {

HostMap Probe(const char *address)
{
    HostMap results;
    QRecursiveMutex mutex;
    ArpThread probe(&results, NetworkOrder(address), &mutex);
    probe.start();
    probe.wait();
    return results;
}

// A second card answered for 127.0.0.41 only; the scan's start is noted.
std::atomic<qint64> askedSince{0};
bool FakeOtherCard(quint32 destIp, const unsigned char *mac,
                   std::chrono::steady_clock::time_point since, unsigned char *other)
{
    askedSince = since.time_since_epoch().count();
    if (destIp != NetworkOrder("127.0.0.41") || mac[5] != 0x41)
        return false;
    const unsigned char twin[6] = {0x02, 0x54, 0x52, 0xEE, 0x00, 0x41};
    std::memcpy(other, twin, sizeof twin);
    return true;
}

QStringList ResponseLines()
{
    return MessageLog::lines().filter(QStringLiteral("Réponse de"));
}

// A collector that also keeps every hand-over, to count them.
struct Recorder : ScanCollector
{
    QMutex mutex;
    QStringList statuses;
    int publications = 0;
    void SetPendingStatus(const QString &text) override
    {
        QMutexLocker locker(&mutex);
        statuses << text;
        ScanCollector::SetPendingStatus(text);
    }
    void PublishHosts(const HostMap &handed) override
    {
        QMutexLocker locker(&mutex);
        ++publications;
        ScanCollector::PublishHosts(handed);
    }
};

// What a session hands over in one round, in order.
struct SessionRound
{
    QStringList events; // "scanned CIDR hosts", "batch", "end Outcome"
    std::vector<ScannedNetwork> scanned;
    QStringList statuses;
    ScanSession::Outcome outcome = ScanSession::Outcome::Failed;
    qint64 elapsedMs = 0;
};

// Runs one round of session over networks, stopping it after stopAfterMs
// (negative: never).
SessionRound RunRound(ScanSession &session, const std::vector<Ipv4Network> &networks,
                      int stopAfterMs = -1)
{
    SessionRound round;
    QEventLoop loop;
    QObject::connect(&session, &ScanSession::StatusLine, &loop,
                     [&round](const QString &text) { round.statuses << text; });
    QObject::connect(
        &session, &ScanSession::NetworkScanned, &loop,
        [&round](const Ipv4Network &network, const HostMap &hosts) {
            round.events << QStringLiteral("scanned %1 %2").arg(network.Cidr()).arg(hosts.size());
            round.scanned.push_back({network, hosts});
        });
    QObject::connect(&session, &ScanSession::BatchFinished, &loop,
                     [&round] { round.events << QStringLiteral("batch"); });
    QObject::connect(&session, &ScanSession::RoundFinished, &loop,
                     [&round, &loop](ScanSession::Outcome outcome) {
                         round.outcome = outcome;
                         round.events << QStringLiteral("end %1").arg(int(outcome));
                         loop.quit();
                     });
    if (stopAfterMs >= 0)
        QTimer::singleShot(stopAfterMs, &session, [&session] { session.Stop(); });
    QElapsedTimer timer;
    timer.start();
    session.Start(networks);
    if (session.Running())
        loop.exec();
    round.elapsedMs = timer.elapsed();
    return round;
}

Ipv4Network Network(const char *address, const char *netmask, const char *name = "lo")
{
    return Ipv4Network{QHostAddress(QString::fromLatin1(address)),
                       QHostAddress(QString::fromLatin1(netmask)), QString::fromLatin1(name), 0};
}

// The hosts' keys that a round asked for their page.
QStringList PagesAsked(const std::vector<identify::Target> &targets)
{
    QStringList pages;
    for (const identify::Target &target : targets)
        if (target.page)
            pages << AddressText(target.key);
    return pages;
}

QList<GatewayRoute> LoopbackGateway()
{
    return {GatewayRoute{QStringLiteral("lo"), 0x7f0000feu, true, 0}}; // 127.0.0.254
}

} // namespace

class TestScan : public QObject
{
    Q_OBJECT

private:
    TemporarySettings settings;
    fakes::SafeNetwork network;
    std::unique_ptr<MessageLog> log;
    std::unique_ptr<QTcpServer> webServer; // on 127.0.0.5:80 where we may listen

    // Runs a whole scan of address/netmask into collector.
    HostMap Scan(ScanCollector &collector, const char *address, const char *netmask)
    {
        CheckThread checker(&collector, QHostAddress(QString::fromLatin1(address)),
                            QHostAddress(QString::fromLatin1(netmask)));
        checker.start();
        checker.wait();
        return collector.Hosts();
    }

    std::vector<QString> AskedTexts()
    {
        std::vector<QString> texts;
        for (quint32 key : network.asked())
            texts.push_back(AddressText(key));
        std::sort(texts.begin(), texts.end(), [](const QString &a, const QString &b) {
            return QHostAddress(a).toIPv4Address() < QHostAddress(b).toIPv4Address();
        });
        return texts;
    }

private slots:
    void initTestCase() { log = std::make_unique<MessageLog>(); }

    void init()
    {
        network.reset();
        MessageLog::clear();
    }

    void silentAddressLeavesNoTrace()
    {
        QVERIFY(Probe("127.0.0.9").empty());
        QVERIFY(ResponseLines().isEmpty());
    }

    void answerIsStoredWithExactlyItsBytes()
    {
        network.addHost("127.0.0.9", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
        const HostMap results = Probe("127.0.0.9");
        QCOMPARE(results.size(), std::size_t(1));
        const HostRecord &record = results.at(NetworkOrder("127.0.0.9"));
        QCOMPARE(record.mac, (std::vector<unsigned char>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
        QCOMPARE(record.webServer, false); // nothing listens on 127.0.0.9:80
        QCOMPARE(ResponseLines(), QStringList{QStringLiteral("\tRéponse de 127.0.0.9")});
    }

    void zeroLengthAnswerCountsAsAbsent()
    {
        network.addHost("127.0.0.9", {});
        QVERIFY(Probe("127.0.0.9").empty());
        QVERIFY(ResponseLines().isEmpty());
    }

    void longerHardwareAddressIsKeptWhole()
    {
        network.addHost("127.0.0.9", {1, 2, 3, 4, 5, 6, 7, 8});
        QCOMPARE(Probe("127.0.0.9").at(NetworkOrder("127.0.0.9")).mac.size(), std::size_t(8));
    }

    void webServerIsDetected()
    {
        webServer = std::make_unique<QTcpServer>();
        if (!webServer->listen(QHostAddress(QStringLiteral("127.0.0.5")), 80))
            QSKIP("cannot listen on port 80 here (needs root)");
        // HTTPS on .5 too, and on .7 alone: port 80 wins where both accept.
        QTcpServer secure5, secure7;
        QVERIFY(secure5.listen(QHostAddress(QStringLiteral("127.0.0.5")), 443));
        QVERIFY(secure7.listen(QHostAddress(QStringLiteral("127.0.0.7")), 443));
        network.addHost("127.0.0.5", {0, 1, 2, 3, 4, 5});
        network.addHost("127.0.0.6", {0, 1, 2, 3, 4, 6});
        network.addHost("127.0.0.7", {0, 1, 2, 3, 4, 7});
        const HostRecord both = Probe("127.0.0.5").at(NetworkOrder("127.0.0.5"));
        QVERIFY(both.webServer && !both.secureWebServer);
        const HostRecord none = Probe("127.0.0.6").at(NetworkOrder("127.0.0.6"));
        QVERIFY(!none.webServer && !none.secureWebServer);
        const HostRecord secure = Probe("127.0.0.7").at(NetworkOrder("127.0.0.7"));
        QVERIFY(!secure.webServer && secure.secureWebServer);
        webServer.reset();
    }

    void walkCoversTheSubnet_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("netmask");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::newRow("/24") << "198.51.100.10"
                             << "255.255.255.0" << 255 << "198.51.100.0"
                             << "198.51.100.254";
        QTest::newRow("/23") << "203.0.112.7"
                             << "255.255.254.0" << 511 << "203.0.112.0"
                             << "203.0.113.254";
        QTest::newRow("/31") << "198.51.100.4"
                             << "255.255.255.254" << 1 << "198.51.100.4"
                             << "198.51.100.4";
        QTest::newRow("/32") << "198.51.100.4"
                             << "255.255.255.255" << 0 << ""
                             << "";
    }

    void walkCoversTheSubnet()
    {
        QFETCH(QString, address);
        QFETCH(QString, netmask);
        QFETCH(int, count);
        QFETCH(QString, first);
        QFETCH(QString, last);
        ScanCollector collector;
        Scan(collector, address.toLatin1(), netmask.toLatin1());
        const std::vector<QString> asked = AskedTexts();
        QCOMPARE(int(asked.size()), count);
        if (count > 0) {
            QCOMPARE(asked.front(), first);
            QCOMPARE(asked.back(), last);
            // Each address once.
            QCOMPARE(int(std::set<QString>(asked.begin(), asked.end()).size()), count);
        }
        if (netmask == "255.255.254.0") {
            QVERIFY(std::count(asked.begin(), asked.end(), "203.0.112.255") == 1);
            QVERIFY(std::count(asked.begin(), asked.end(), "203.0.113.0") == 1);
        }
    }

    void scanHandsOverStatusLinesAndAnswersWithTheNames()
    {
        network.addHost("127.0.0.41", {0, 1, 2, 3, 4, 0x41});
        network.addHost("127.0.0.42", {0, 1, 2, 3, 4, 0x42});
        network.setName("127.0.0.41", QStringLiteral("imprimante.example"));
        network.setName("127.0.0.42", QStringLiteral("127.0.0.42")); // the resolver's "no name"
        network.addHost("127.0.0.43", {0, 1, 2, 3, 4, 0x43});
        network.setName("127.0.0.43", QStringLiteral("nas.example"));
        network.setLocalNames("127.0.0.43", QStringLiteral("nas-salon.local"),
                              QStringLiteral("NAS"));
        network.addHost("127.0.0.44", {0, 1, 2, 3, 4, 0x44});
        network.setLocalNames("127.0.0.44", QString(), QStringLiteral("PC-DE-LEA"));
        // Names with a bidirectional override, an escape and a C1 control:
        // every source's name is dropped, with a line each.
        network.addHost("127.0.0.46", {0, 1, 2, 3, 4, 0x46});
        network.setName("127.0.0.46", QStringLiteral("nas\u202Egro.elpmaxe"));
        network.setLocalNames("127.0.0.46", QStringLiteral("nas\x1B[2J.local"),
                              QStringLiteral("PC\u009B1m"));
        // A slow host: the coordinator waits for it.
        network.addHost("127.0.0.45", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}, 300);
        // No echo could go, but the system's table knows .41's IPv6 address.
        platform::SetIpv6Functions(
            {&fakes::NoEcho, [](quint32, std::vector<platform::Ipv6Neighbour> *rows) {
                 platform::Ipv6Neighbour row;
                 row.address = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x41};
                 row.mac = {0, 1, 2, 3, 4, 0x41};
                 *rows = {row};
                 return true;
             }});
        Recorder recorder;

        const QRegularExpression start(QStringLiteral(
            "^Début de recherche 127\\.0\\.0\\.40 à \\d\\d:\\d\\d:\\d\\d\\.\\.\\.$"));
        CheckThread checker(&recorder, QHostAddress(QStringLiteral("127.0.0.40")),
                            QHostAddress(QStringLiteral("255.255.255.248")));
        checker.start();
        QVERIFY(checker.wait(10000));

        // The start line first, then the end line, which the collector keeps.
        QCOMPARE(recorder.statuses.size(), 2);
        QVERIFY2(start.match(recorder.statuses[0]).hasMatch(), qPrintable(recorder.statuses[0]));
        const QString end = recorder.TakeStatus();
        QCOMPARE(end, recorder.statuses[1]);
        QVERIFY2(
            QRegularExpression(
                QStringLiteral("^Fin de recherche 127\\.0\\.0\\.40 à \\d\\d:\\d\\d:\\d\\d\\.$"))
                .match(end)
                .hasMatch(),
            qPrintable(end));
        QVERIFY(recorder.TakeStatus().isEmpty());
        QCOMPARE(recorder.publications, 1);
        QVERIFY(recorder.Published());
        const HostMap hosts = recorder.Hosts();
        QCOMPARE(hosts.size(), std::size_t(6));
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.45")).mac.back(), 0x5F);
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.41")).name, QStringLiteral("imprimante.example"));
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.41")).ipv6, QStringList{"fe80::41"});
        platform::SetIpv6Functions({&fakes::NoEcho, &fakes::NoIpv6Neighbours});
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.42")).name, QString());
        // Every source's answer is kept; the host's own multicast DNS name
        // is shown, without ".local"; NetBIOS only when nothing else answers.
        const HostRecord &nas = hosts.at(NetworkOrder("127.0.0.43"));
        QCOMPARE(nas.name, QStringLiteral("nas-salon"));
        QCOMPARE(nas.names, (HostNames{QStringLiteral("nas.example"),
                                       QStringLiteral("nas-salon.local"), QStringLiteral("NAS")}));
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.44")).name, QStringLiteral("PC-DE-LEA"));
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.46")).names, HostNames());
        QCOMPARE(hosts.at(NetworkOrder("127.0.0.46")).name, QString());

        const QStringList lines = MessageLog::lines();
        const int waitLine =
            int(lines.indexOf(QStringLiteral("Attend l'arrêt de tous les threads")));
        const int reapLine = int(lines.indexOf(QStringLiteral("Détruit les threads morts")));
        QVERIFY(lines.contains(QStringLiteral("CheckThread::CheckThread()")));
        QVERIFY(waitLine >= 0);
        QVERIFY(reapLine > waitLine);
        QCOMPARE(ResponseLines().size(), 6);
        QCOMPARE(lines
                     .filter(QRegularExpression(
                         QStringLiteral("^127\\.0\\.0\\.46 : nom (DNS|mDNS|NetBIOS) écarté")))
                     .size(),
                 3);
        // The resolver's name has its line; its "no name", the address
        // itself, none; and no line is written twice.
        QCOMPARE(lines.count(QStringLiteral("\"127.0.0.41\" \"imprimante.example\"")), 1);
        QVERIFY(lines.filter(QStringLiteral("\"127.0.0.42\"")).isEmpty());
        QStringList once = lines;
        QCOMPARE(once.removeDuplicates(), qsizetype(0));
    }

    void secondCardGoesBesideTheFirst()
    {
        network.addHost("127.0.0.41", {0, 1, 2, 3, 4, 0x41});
        network.addHost("127.0.0.42", {0, 1, 2, 3, 4, 0x42});
        const platform::OtherCardFunction previous = platform::SetOtherCardFunction(&FakeOtherCard);
        const auto before = std::chrono::steady_clock::now().time_since_epoch().count();
        ScanCollector collector;
        const HostMap hosts = Scan(collector, "127.0.0.40", "255.255.255.248");
        platform::SetOtherCardFunction(previous);
        QCOMPARE(hosts.size(), std::size_t(2));
        const HostRecord &claimed = hosts.at(NetworkOrder("127.0.0.41"));
        QCOMPARE(claimed.mac, (std::vector<unsigned char>{0, 1, 2, 3, 4, 0x41}));
        QCOMPARE(claimed.conflictMac,
                 (std::vector<unsigned char>{0x02, 0x54, 0x52, 0xEE, 0x00, 0x41}));
        QVERIFY(hosts.at(NetworkOrder("127.0.0.42")).conflictMac.empty());
        // Asked for what came since the scan's start, and no other row for it.
        QVERIFY(askedSince >= before);
        QVERIFY(claimed == HostRecord(claimed.mac, claimed.webServer));
    }

    void emptyScanStillPublishes()
    {
        ScanCollector collector;
        collector.PublishHosts(HostMap{{NetworkOrder("127.0.0.1"), HostRecord{{1, 2, 3}, false}}});
        QElapsedTimer timer;
        timer.start();
        QVERIFY(Scan(collector, "198.51.100.4", "255.255.255.255").empty());
        QVERIFY(collector.TakeStatus().startsWith(QStringLiteral("Fin de recherche")));
        // A scan with nothing to wait for still sleeps once.
        QVERIFY(timer.elapsed() >= 100);
    }

    void largeSubnetRespectsTheThreadBound()
    {
        // A /20 needs four times the bound; every address is still asked once.
        ScanCollector collector;
        Scan(collector, "198.51.96.1", "255.255.240.0");
        const std::vector<QString> asked = AskedTexts();
        QCOMPARE(int(asked.size()), 4095);
        QCOMPARE(int(std::set<QString>(asked.begin(), asked.end()).size()), 4095);
    }

    // Coordinators of several networks at once share one bound: three /21s,
    // every address silent long enough for more than one coordinator's
    // probes to wait together (Wine starts threads slowly), each asked once.
    void coordinatorsTogetherRespectOneThreadBound()
    {
        network.setSilence(1500);
        std::vector<std::unique_ptr<ScanCollector>> collectors;
        std::vector<std::unique_ptr<CheckThread>> checkers;
        for (const char *address : {"198.51.96.1", "198.51.104.1", "198.51.112.1"}) {
            collectors.push_back(std::make_unique<ScanCollector>());
            checkers.push_back(std::make_unique<CheckThread>(
                collectors.back().get(), QHostAddress(QString::fromLatin1(address)),
                QHostAddress(QStringLiteral("255.255.248.0"))));
            checkers.back()->start();
        }
        for (const auto &checker : checkers)
            QVERIFY(checker->wait(120000));
        const std::vector<quint32> asked = network.asked();
        QCOMPARE(std::set<quint32>(asked.begin(), asked.end()).size(), asked.size());
        QCOMPARE(int(asked.size()), 3 * 2047);
        QVERIFY2(network.mostWaiting() > CheckThread::MaxProbeThreads &&
                     network.mostWaiting() <= CheckThread::MaxProbeThreadsInAll + 2,
                 qPrintable(QString::number(network.mostWaiting())));
    }

    // The networks scanned together: a /16's addresses at most, a /8 in none.
    void scanBatches()
    {
        const auto batches = [](const std::vector<int> &prefixes) {
            std::vector<QHostAddress> masks;
            for (const int prefix : prefixes)
                masks.emplace_back(quint32(~0u << (32 - prefix)));
            QStringList got;
            for (const std::vector<std::size_t> &batch : ScanBatches(masks)) {
                got << QString();
                for (const std::size_t i : batch)
                    got.back() += QString::number(i);
            }
            return got.join(QLatin1Char('|'));
        };
        QCOMPARE(batches({24, 24}), QStringLiteral("01"));
        QCOMPARE(batches({24, 16, 24}), QStringLiteral("0|1|2"));
        QCOMPARE(batches({17, 24, 17}), QStringLiteral("01|2"));
        QCOMPARE(batches({8, 24}), QStringLiteral("1"));
    }

    // --- the scan session ---

    void sessionScansOneNetworkWithItsGateway()
    {
        network.addHost("127.0.0.9", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
        SetGatewayLister(LoopbackGateway);
        ScanSession session;
        const SessionRound round = RunRound(session, {Network("127.0.0.1", "255.255.255.0")});
        SetGatewayLister(nullptr);
        QCOMPARE(round.outcome, ScanSession::Outcome::Done);
        QCOMPARE(round.events, (QStringList{"batch", "scanned 127.0.0.0/24 1", "end 0"}));
        QCOMPARE(round.scanned.size(), std::size_t(1));
        const Ipv4Network &scanned = round.scanned.front().network;
        QCOMPARE(scanned.EntryText(), QStringLiteral("127.0.0.1 / 255.255.255.0"));
        QCOMPARE(scanned.interfaceName, QStringLiteral("lo"));
        QCOMPARE(scanned.gateway, 0x7f0000feu); // read as the scan began
        QVERIFY(round.scanned.front().hosts.count(NetworkOrder("127.0.0.9")));
        QCOMPARE(round.statuses.size(), 2);
        QVERIFY(round.statuses.front().startsWith(QStringLiteral("Début de recherche 127.0.0.1")));
        QVERIFY(round.statuses.back().startsWith(QStringLiteral("Fin de recherche 127.0.0.1")));
        QVERIFY(!session.Running());
    }

    void sessionOfNoNetworkEndsAtOnce()
    {
        ScanSession session;
        const SessionRound round = RunRound(session, {});
        QCOMPARE(round.events, QStringList{"end 0"});
    }

    // Two /17s fill the bound of a batch: the /24 after them waits for them,
    // and each network comes back in the round's order.
    void sessionBatchesNetworks()
    {
        ScanSession session;
        const SessionRound round = RunRound(session, {Network("198.51.0.1", "255.255.128.0"),
                                                      Network("198.51.128.1", "255.255.128.0"),
                                                      Network("127.0.0.1", "255.255.255.0")});
        QCOMPARE(round.events,
                 (QStringList{"batch", "scanned 198.51.0.0/17 0", "scanned 198.51.128.0/17 0",
                              "batch", "scanned 127.0.0.0/24 0", "end 0"}));
        QCOMPARE(int(network.asked().size()), 2 * 32767 + 255);
    }

    // A stop: the probes waiting give up and the scan ends within the grace;
    // one that does not is left to run.
    void sessionStopsWithinItsGrace()
    {
        ScanSession session;
        network.setSilence(400);
        const SessionRound stopped = RunRound(session, {Network("127.0.0.1", "255.255.255.0")}, 50);
        QCOMPARE(stopped.outcome, ScanSession::Outcome::Stopped);
        QCOMPARE(stopped.events, (QStringList{"batch", "end 2"}));
        QVERIFY2(stopped.elapsedMs < ScanSession::StopGraceMs,
                 qPrintable(QString::number(stopped.elapsedMs)));
        // Stopped, the session starts no other round.
        session.Start({Network("127.0.0.1", "255.255.255.0")});
        QVERIFY(!session.Running());

        ScanSession late;
        late.SetStopGrace(0);
        const SessionRound abandoned = RunRound(late, {Network("127.0.0.1", "255.255.255.0")}, 0);
        QCOMPARE(abandoned.outcome, ScanSession::Outcome::Abandoned);
        QCOMPARE(abandoned.events, (QStringList{"batch", "end 3"}));
        // The coordinator left behind ends on its own.
        QTest::qWait(1000);
    }

    void identificationRoundsComeWhenDue()
    {
        MakerIndex makers;
        makers.ouis = {{0x001BA9, QStringLiteral(" Brother industries, LTD.  ")}};
        auto owned = std::make_unique<fakes::TestAsker>(fakes::TestAsker::Manual);
        fakes::TestAsker &asker = *owned;
        Identification identification(makers, std::move(owned));
        qint64 now = 1'000'000'000'000;
        identification.SetClock([&now] { return now; });
        std::vector<std::pair<QString, CardIdentities>> identified;
        connect(&identification, &Identification::Identified, this,
                [&identified](const Ipv4Network &scanned, const CardIdentities &changed) {
                    identified.emplace_back(scanned.Cidr(), changed);
                });
        Ipv4Network home = Network("198.51.100.1", "255.255.255.0", "eth0");
        home.gateway = 0xC63364FE;
        const std::vector<unsigned char> printer{0x00, 0x1B, 0xA9, 0, 0, 0x0A};
        const std::vector<unsigned char> cast{0x02, 0, 0, 0, 0, 0x14};
        const std::vector<unsigned char> self{0x02, 0, 0, 0, 0, 1};
        const std::vector<unsigned char> gateway{0x02, 0, 0, 0, 0, 0xFE};
        HostMap hosts;
        hosts[fakes::NetworkOrder("198.51.100.1")] = HostRecord(self, false);
        hosts[fakes::NetworkOrder("198.51.100.10")] = HostRecord(printer, true);
        hosts[fakes::NetworkOrder("198.51.100.20")] = HostRecord(cast, false);
        hosts[fakes::NetworkOrder("198.51.100.254")] = HostRecord(gateway, true);
        hosts[fakes::NetworkOrder("198.51.100.30")] = HostRecord({}, false); // no card

        // The first scan of a network is due; every host with a card asked,
        // the page of those with a web server.
        QVERIFY(identification.Scanned(home, hosts));
        QVERIFY(identification.Running());
        QVERIFY(!identification.Scanned(home, hosts));
        QCOMPARE(asker.rounds.size(), std::size_t(1));
        QCOMPARE(asker.rounds[0].size(), std::size_t(4));
        QCOMPARE(PagesAsked(asker.rounds[0]), (QStringList{"198.51.100.10", "198.51.100.254"}));
        asker.Answer({{fakes::NetworkOrder("198.51.100.20"), fakes::CastFindings("Chromecast")},
                      {fakes::NetworkOrder("198.51.100.99"), fakes::CastFindings("Chromecast")}});
        QVERIFY(!identification.Running());
        QCOMPARE(identified.size(), std::size_t(1));
        CardIdentities changed = identified[0].second;
        QCOMPARE(changed.size(), std::size_t(4)); // nobody answered for .99
        QCOMPARE(changed[printer].type, identify::DeviceType::Printer);
        QCOMPARE(changed[printer].evidence,
                 (QList<identify::Evidence>{{"maker", "Brother industries, LTD."}}));
        QCOMPARE(changed[cast].type, identify::DeviceType::MediaPlayer);
        QCOMPARE(changed[cast].model, QStringLiteral("Chromecast"));
        QCOMPARE(changed[gateway].type, identify::DeviceType::Router);
        QVERIFY(changed[self].thisMachine);

        // Not again before kNetworkPeriodMs; another network is due at once.
        now += Identification::kNetworkPeriodMs - 1;
        QVERIFY(!identification.Scanned(home, hosts));
        QVERIFY(identification.Scanned(Network("198.51.100.1", "255.255.255.0", "eth1"), {}));
        asker.Answer({});
        QCOMPARE(identified.size(), std::size_t(2));
        QVERIFY(identified[1].second.empty());

        // Due again: the page read this round is not read again; a host
        // that says nothing now keeps what it said; only changes come.
        now += 1;
        QVERIFY(identification.Scanned(home, hosts));
        QCOMPARE(PagesAsked(asker.rounds.back()), QStringList());
        asker.Answer(
            {{fakes::NetworkOrder("198.51.100.10"), fakes::CastFindings("Chromecast Ultra")}});
        QCOMPARE(identified.back().second.size(), std::size_t(1));
        QCOMPARE(identified.back().second.begin()->first, printer);
        QCOMPARE(identification.Known().at(cast).model, QStringLiteral("Chromecast"));

        // A card at another address has its page read again, and every
        // page after kPagePeriodMs.
        hosts[fakes::NetworkOrder("198.51.100.11")] = hosts[fakes::NetworkOrder("198.51.100.10")];
        hosts.erase(fakes::NetworkOrder("198.51.100.10"));
        now += Identification::kNetworkPeriodMs;
        QVERIFY(identification.Scanned(home, hosts));
        QCOMPARE(PagesAsked(asker.rounds.back()), QStringList{"198.51.100.11"});
        asker.Answer({});
        now += Identification::kPagePeriodMs - Identification::kNetworkPeriodMs;
        QVERIFY(identification.Scanned(home, hosts));
        QCOMPARE(PagesAsked(asker.rounds.back()), QStringList{"198.51.100.254"});
        asker.Answer({});

        // Remembered: a card not known yet; one known keeps what it said here.
        identify::Identity nas;
        nas.type = identify::DeviceType::Nas;
        nas.model = QStringLiteral("DS220+");
        const std::vector<unsigned char> other{0x02, 0, 0, 0, 0, 0x30};
        identification.Remember({{other, nas}, {cast, nas}});
        hosts[fakes::NetworkOrder("198.51.100.30")] = HostRecord(other, false);
        identification.Attach(home, hosts);
        QCOMPARE(hosts[fakes::NetworkOrder("198.51.100.30")].identity.model, nas.model);
        QCOMPARE(hosts[fakes::NetworkOrder("198.51.100.20")].identity.model,
                 QStringLiteral("Chromecast"));
        QCOMPARE(hosts[fakes::NetworkOrder("198.51.100.254")].identity.type,
                 identify::DeviceType::Router);
        QVERIFY(hosts[fakes::NetworkOrder("198.51.100.1")].identity.thisMachine);
        QVERIFY(!hosts[fakes::NetworkOrder("198.51.100.11")].identity.thisMachine);

        // A private card never asked makes the network due a minute after
        // its last round.
        now += Identification::kNewCardPeriodMs - 1;
        QVERIFY(!identification.Scanned(home, hosts));
        now += 1;
        QVERIFY(identification.Scanned(home, hosts));
        asker.Answer({});
        now += Identification::kNewCardPeriodMs;
        QVERIFY(!identification.Scanned(home, hosts));
    }

    void stopEndsTheWalkEarly()
    {
        ScanCollector collector;
        CheckThread checker(&collector, QHostAddress(QStringLiteral("198.51.96.1")),
                            QHostAddress(QStringLiteral("255.255.0.0")));
        checker.start();
        QTRY_VERIFY(network.asked().size() > 10);
        checker.Stop();
        QVERIFY(checker.wait(5000));
        QVERIFY(network.asked().size() < 65535);
        QVERIFY(collector.TakeStatus().startsWith(QStringLiteral("Fin de recherche")));
        QVERIFY(collector.Published());
    }
};

QTEST_GUILESS_MAIN(TestScan)
#include "tst_scan.moc"
