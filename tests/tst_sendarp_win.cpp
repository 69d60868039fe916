// The Windows address resolution where SendARP cannot answer (Wine's is a
// stub): which rows of the neighbour table tell a host's hardware address,
// and one read of the table serving every resolution waiting at once.

#include "platform/neighbourtable_win.h"
#include "platform/sendarp.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

using namespace platform::winarp;

Q_DECLARE_METATYPE(MIB_IPNET_ROW2)

namespace {

quint32 Ip(const char *text)
{
    return ::inet_addr(text);
}

MIB_IPNET_ROW2 Row(const char *address, quint32 interfaceIndex, NL_NEIGHBOR_STATE state,
                   const QByteArray &mac, bool unreachable = false)
{
    MIB_IPNET_ROW2 row{};
    row.Address.si_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = Ip(address);
    row.InterfaceIndex = interfaceIndex;
    row.State = state;
    row.IsUnreachable = unreachable;
    row.PhysicalAddressLength = ULONG(mac.size());
    std::memcpy(row.PhysicalAddress, mac.constData(),
                std::min(sizeof row.PhysicalAddress, std::size_t(mac.size())));
    return row;
}

const QByteArray kMac = QByteArray::fromHex("02544c336414");
constexpr quint32 kInterface = 7;
const std::function<void()> kAskNothing = [] {};

} // namespace

class TestSendArp : public QObject
{
    Q_OBJECT

private slots:
    void rowsThatCount_data();
    void rowsThatCount();
    void oneReadServesEveryWaiter();
    void onlyLaterReadsAnswerAndStopEndsTheWait();
    void aQuestionWithoutRowIsAskedAgain();
};

void TestSendArp::rowsThatCount_data()
{
    QTest::addColumn<MIB_IPNET_ROW2>("row");
    QTest::addColumn<bool>("counts");
    const char *host = "198.51.100.20";
    QTest::newRow("reachable") << Row(host, kInterface, NlnsReachable, kMac) << true;
    QTest::newRow("permanent") << Row(host, kInterface, NlnsPermanent, kMac) << true;
    // Being checked by the stack, with the address it had.
    QTest::newRow("stale") << Row(host, kInterface, NlnsStale, kMac) << true;
    QTest::newRow("delay") << Row(host, kInterface, NlnsDelay, kMac) << true;
    QTest::newRow("probe") << Row(host, kInterface, NlnsProbe, kMac) << true;
    QTest::newRow("eight bytes") << Row(host, kInterface, NlnsReachable,
                                        QByteArray::fromHex("02544c3364140102"))
                                 << true;
    QTest::newRow("other interface") << Row(host, kInterface + 1, NlnsReachable, kMac) << false;
    QTest::newRow("other address")
        << Row("198.51.100.21", kInterface, NlnsReachable, kMac) << false;
    MIB_IPNET_ROW2 ipv6 = Row(host, kInterface, NlnsReachable, kMac);
    ipv6.Address.si_family = AF_INET6;
    QTest::newRow("IPv6") << ipv6 << false;
    QTest::newRow("unreachable") << Row(host, kInterface, NlnsUnreachable, kMac) << false;
    QTest::newRow("incomplete") << Row(host, kInterface, NlnsIncomplete, kMac) << false;
    QTest::newRow("unknown state") << Row(host, kInterface, NlnsMaximum, kMac) << false;
    QTest::newRow("marked unreachable") << Row(host, kInterface, NlnsStale, kMac, true) << false;
    // How Wine shows an address being resolved or that failed.
    QTest::newRow("failed under Wine")
        << Row(host, kInterface, NlnsStale, QByteArray(6, '\0'), true) << false;
    QTest::newRow("zero") << Row(host, kInterface, NlnsReachable, QByteArray(6, '\0')) << false;
    QTest::newRow("short") << Row(host, kInterface, NlnsReachable, QByteArray::fromHex("c6336414"))
                           << false;
    QTest::newRow("none") << Row(host, kInterface, NlnsPermanent, QByteArray()) << false;
    MIB_IPNET_ROW2 overlong = Row(host, kInterface, NlnsReachable, kMac);
    overlong.PhysicalAddressLength = 4096;
    QTest::newRow("length beyond the row") << overlong << false;
    QTest::newRow("multicast hardware address")
        << Row(host, kInterface, NlnsReachable, QByteArray::fromHex("01005e000016")) << false;
    QTest::newRow("broadcast hardware address")
        << Row(host, kInterface, NlnsPermanent, QByteArray(6, '\xff')) << false;
    QTest::newRow("multicast address")
        << Row("224.0.0.22", kInterface, NlnsPermanent, kMac) << false;
}

void TestSendArp::rowsThatCount()
{
    QFETCH(MIB_IPNET_ROW2, row);
    QFETCH(bool, counts);
    const char *asked =
        row.Address.Ipv4.sin_addr.s_addr == Ip("224.0.0.22") ? "224.0.0.22" : "198.51.100.20";
    HardwareAddress mac;
    QCOMPARE(RowAnswers(row, Ip(asked), kInterface, &mac), counts);
    if (counts) {
        QCOMPARE(mac.length, quint32(row.PhysicalAddressLength));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(mac.bytes.data()), int(mac.length)),
                 QByteArray(reinterpret_cast<const char *>(row.PhysicalAddress), int(mac.length)));
    }
}

void TestSendArp::oneReadServesEveryWaiter()
{
    // The hosts answer from the third read on; each read takes a while, as
    // a system call into the stack does.
    constexpr int hosts = 64;
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int host = 0; read >= 3 && host < hosts; ++host)
                rows->push_back(Row(qPrintable(QStringLiteral("198.51.100.%1").arg(host + 1)),
                                    kInterface, NlnsReachable, kMac));
            return true;
        },
        std::chrono::milliseconds(20));
    std::atomic<int> answered{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> waiting;
    for (int host = 0; host < hosts; ++host)
        waiting.emplace_back([&, host] {
            while (!go)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            HardwareAddress mac;
            if (table.Await(Ip(qPrintable(QStringLiteral("198.51.100.%1").arg(host + 1))),
                            kInterface, Clock::now() + std::chrono::seconds(5), &mac,
                            kAskNothing) &&
                mac.length == 6)
                ++answered;
        });
    go = true;
    for (std::thread &thread : waiting)
        thread.join();
    QCOMPARE(answered.load(), hosts);
    // A read per thread would be at least 64; late starters may need one more.
    QVERIFY2(reads.load() <= 6, qPrintable(QString::number(reads.load())));

    // The first host's lone read puts off the next; meanwhile three come.
    // The next read answers the first two: the reader, the first, leaves, and
    // so does the second. The third, whom only later reads answer, must
    // still get them.
    reads = 0;
    NeighbourReads later(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            for (const char *host : {"198.51.100.1", "198.51.100.2", "198.51.100.4"})
                rows->push_back(Row(host, kInterface, NlnsReachable, kMac));
            if (read >= 3)
                rows->push_back(Row("198.51.100.3", kInterface, NlnsReachable, kMac));
            return true;
        },
        std::chrono::milliseconds(200));
    HardwareAddress first;
    QVERIFY(later.Await(Ip("198.51.100.4"), kInterface, Clock::now() + std::chrono::seconds(1),
                        &first, kAskNothing));
    std::atomic<int> found{0};
    std::vector<std::thread> three;
    for (const char *host : {"198.51.100.1", "198.51.100.2", "198.51.100.3"}) {
        three.emplace_back([&, host] {
            HardwareAddress mac;
            found += later.Await(Ip(host), kInterface, Clock::now() + std::chrono::seconds(1), &mac,
                                 kAskNothing);
        });
        QTest::qWait(10);
    }
    for (std::thread &thread : three)
        thread.join();
    QCOMPARE(found.load(), 3);
}

void TestSendArp::onlyLaterReadsAnswerAndStopEndsTheWait()
{
    // The first read, slow, shows the host; no later read does. A waiter that
    // came before that read began gets the host from it; one that came while
    // it ran does not (its question was not asked yet), and gives up at its
    // deadline.
    std::atomic<bool> inFirstRead{false};
    std::atomic<bool> releaseFirstRead{false};
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&](std::vector<MIB_IPNET_ROW2> *rows) {
            if (++reads == 1) {
                inFirstRead = true;
                while (!releaseFirstRead)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                rows->push_back(Row("198.51.100.20", kInterface, NlnsReachable, kMac));
            }
            return true;
        },
        std::chrono::milliseconds(20));
    HardwareAddress mac;
    std::atomic<int> early{-1};
    std::thread before([&] {
        early = table.Await(Ip("198.51.100.20"), kInterface, Clock::now() + std::chrono::seconds(5),
                            &mac, kAskNothing);
    });
    QTRY_VERIFY(inFirstRead.load());
    std::atomic<int> late{-1};
    std::thread during([&] {
        HardwareAddress unused;
        late = table.Await(Ip("198.51.100.20"), kInterface,
                           Clock::now() + std::chrono::milliseconds(300), &unused, kAskNothing);
    });
    QTest::qWait(50);
    releaseFirstRead = true;
    before.join();
    during.join();
    QCOMPARE(early.load(), 1);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(mac.bytes.data()), int(mac.length)), kMac);
    QCOMPARE(late.load(), 0);
    QVERIFY(reads.load() >= 2);

    // Threads asked to stop give up within a read or so, whether they read
    // the table for the others or not.
    std::atomic<bool> stops[2] = {false, false};
    std::atomic<qint64> waited[2] = {-1, -1};
    std::vector<std::thread> stopped;
    for (int which = 0; which < 2; ++which) {
        stopped.emplace_back([&, which] {
            platform::SetStopFlag(&stops[which]);
            QElapsedTimer timer;
            timer.start();
            HardwareAddress unused;
            const bool found =
                table.Await(Ip("198.51.100.30"), kInterface,
                            Clock::now() + std::chrono::seconds(30), &unused, kAskNothing);
            waited[which] = found ? -2 : timer.elapsed();
            platform::SetStopFlag(nullptr);
        });
        QTest::qWait(50);
    }
    for (int which : {1, 0}) {
        QElapsedTimer sinceStop;
        sinceStop.start();
        stops[which] = true;
        QTRY_VERIFY_WITH_TIMEOUT(waited[which].load() != -1, 2000);
        QVERIFY2(waited[which].load() >= 0 && sinceStop.elapsed() < 500,
                 qPrintable(QString::number(sinceStop.elapsed())));
    }
    for (std::thread &thread : stopped)
        thread.join();
}

void TestSendArp::aQuestionWithoutRowIsAskedAgain()
{
    // Two reads without the address (its datagram lost), two with it being
    // resolved, then its answer.
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            rows->push_back(Row("198.51.100.2", kInterface, NlnsReachable, kMac));
            if (read >= 3)
                rows->push_back(Row("198.51.100.20", kInterface,
                                    read >= 5 ? NlnsReachable : NlnsIncomplete,
                                    read >= 5 ? kMac : QByteArray(6, '\0')));
            return true;
        },
        std::chrono::milliseconds(20));
    int asked = 0;
    HardwareAddress mac;
    QVERIFY(table.Await(Ip("198.51.100.20"), kInterface, Clock::now() + std::chrono::seconds(2),
                        &mac, [&asked] { ++asked; }));
    QCOMPARE(reads.load(), 5);
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestSendArp)
#include "tst_sendarp_win.moc"
