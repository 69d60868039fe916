// The Windows address resolution where SendARP cannot answer (Wine's is a
// stub): which rows of the neighbour table tell a host's hardware address,
// and one read of the table serving every resolution waiting at once.

#include "platform/neighbourtable_win.h"
#include "platform/sendarp.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

using namespace platform::winarp;

Q_DECLARE_METATYPE(MIB_IPNET_ROW2)

namespace {

quint32 Ip(const char *text)
{
    return ::inet_addr(text);
}

const QByteArray kMac = QByteArray::fromHex("02544c336414");
constexpr quint32 kInterface = 7;

MIB_IPNET_ROW2 Row(NL_NEIGHBOR_STATE state, const QByteArray &mac = kMac,
                   const char *address = "198.51.100.20", quint32 interfaceIndex = kInterface)
{
    MIB_IPNET_ROW2 row{};
    row.Address.si_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = Ip(address);
    row.InterfaceIndex = interfaceIndex;
    row.State = state;
    row.PhysicalAddressLength = ULONG(mac.size());
    std::memcpy(row.PhysicalAddress, mac.constData(), std::size_t(mac.size()));
    return row;
}

QByteArray Bytes(const HardwareAddress &mac)
{
    return QByteArray(reinterpret_cast<const char *>(mac.bytes.data()), int(mac.length));
}

bool Wait(
    NeighbourReads &table, const QString &host, int ms, HardwareAddress *mac = nullptr,
    const std::function<void()> &ask = [] {})
{
    HardwareAddress unused;
    return table.Await(Ip(qPrintable(host)), kInterface,
                       Clock::now() + std::chrono::milliseconds(ms), mac ? mac : &unused, ask);
}

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
    const QByteArray zero(6, '\0');
    QTest::newRow("reachable") << Row(NlnsReachable) << true;
    QTest::newRow("permanent") << Row(NlnsPermanent) << true;
    // Being checked by the stack, with the address it had.
    QTest::newRow("stale") << Row(NlnsStale) << true;
    QTest::newRow("delay") << Row(NlnsDelay) << true;
    QTest::newRow("probe") << Row(NlnsProbe) << true;
    QTest::newRow("other interface")
        << Row(NlnsReachable, kMac, "198.51.100.20", kInterface + 1) << false;
    QTest::newRow("other address") << Row(NlnsReachable, kMac, "198.51.100.21") << false;
    MIB_IPNET_ROW2 ipv6 = Row(NlnsReachable), marked = Row(NlnsStale),
                   failed = Row(NlnsStale, zero), overlong = Row(NlnsReachable);
    ipv6.Address.si_family = AF_INET6;
    marked.IsUnreachable = failed.IsUnreachable = true;
    overlong.PhysicalAddressLength = 4096;
    QTest::newRow("IPv6") << ipv6 << false;
    QTest::newRow("unreachable") << Row(NlnsUnreachable) << false;
    QTest::newRow("incomplete") << Row(NlnsIncomplete) << false;
    QTest::newRow("unknown state") << Row(NlnsMaximum) << false;
    QTest::newRow("marked unreachable") << marked << false;
    QTest::newRow("failed under Wine") << failed << false; // how Wine shows one
    QTest::newRow("zero") << Row(NlnsReachable, zero) << false;
    QTest::newRow("short") << Row(NlnsReachable, QByteArray::fromHex("c6336414")) << false;
    QTest::newRow("length beyond the row") << overlong << false;
    QTest::newRow("multicast hardware address")
        << Row(NlnsReachable, QByteArray::fromHex("01005e000016")) << false;
    QTest::newRow("broadcast hardware address")
        << Row(NlnsPermanent, QByteArray(6, '\xff')) << false;
    QTest::newRow("multicast address") << Row(NlnsPermanent, kMac, "224.0.0.22") << false;
}

void TestSendArp::rowsThatCount()
{
    QFETCH(MIB_IPNET_ROW2, row);
    QFETCH(bool, counts);
    const char *asked =
        row.Address.Ipv4.sin_addr.s_addr == Ip("224.0.0.22") ? "224.0.0.22" : "198.51.100.20";
    HardwareAddress mac;
    QCOMPARE(RowAnswers(row, Ip(asked), kInterface, &mac), counts);
    if (counts)
        QCOMPARE(Bytes(mac), kMac);
}

void TestSendArp::oneReadServesEveryWaiter()
{
    // The hosts answer from the third read on; each read takes a while.
    constexpr int hosts = 64;
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int host = 0; read >= 3 && host < hosts; ++host)
                rows->push_back(Row(NlnsReachable, kMac,
                                    qPrintable(QStringLiteral("198.51.100.%1").arg(host + 1))));
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
            if (Wait(table, QStringLiteral("198.51.100.%1").arg(host + 1), 5000, &mac) &&
                Bytes(mac) == kMac)
                ++answered;
        });
    go = true;
    for (std::thread &thread : waiting)
        thread.join();
    QCOMPARE(answered.load(), hosts);
    // A read per thread would be at least 64; late starters may need one more.
    QVERIFY2(reads.load() <= 6, qPrintable(QString::number(reads.load())));

    // After a lone read three come; the next answers the first two, who
    // leave, the reader first: the third, whom later reads answer, must
    // still get them.
    reads = 0;
    NeighbourReads later(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            for (const char *host : {"198.51.100.1", "198.51.100.2", "198.51.100.4"})
                rows->push_back(Row(NlnsReachable, kMac, host));
            if (read >= 3)
                rows->push_back(Row(NlnsReachable, kMac, "198.51.100.3"));
            return true;
        },
        std::chrono::milliseconds(200));
    QVERIFY(Wait(later, "198.51.100.4", 1000));
    std::atomic<int> found{0};
    std::vector<std::thread> three;
    for (const char *host : {"198.51.100.1", "198.51.100.2", "198.51.100.3"}) {
        three.emplace_back([&, host] { found += Wait(later, host, 1000); });
        QTest::qWait(10);
    }
    for (std::thread &thread : three)
        thread.join();
    QCOMPARE(found.load(), 3);
}

void TestSendArp::onlyLaterReadsAnswerAndStopEndsTheWait()
{
    // Only the first, slow, read shows the host: to a waiter that came before
    // it began, not to one that came while it ran (whose question it predates).
    std::atomic<bool> inFirstRead{false};
    std::atomic<bool> releaseFirstRead{false};
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&](std::vector<MIB_IPNET_ROW2> *rows) {
            if (++reads == 1) {
                inFirstRead = true;
                while (!releaseFirstRead)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                rows->push_back(Row(NlnsReachable, kMac, "198.51.100.20"));
            }
            return true;
        },
        std::chrono::milliseconds(20));
    HardwareAddress mac;
    std::atomic<int> early{-1};
    std::thread before([&] { early = Wait(table, "198.51.100.20", 5000, &mac); });
    QTRY_VERIFY(inFirstRead.load());
    std::atomic<int> late{-1};
    std::thread during([&] { late = Wait(table, "198.51.100.20", 300); });
    QTest::qWait(50);
    releaseFirstRead = true;
    before.join();
    during.join();
    QCOMPARE(early.load(), 1);
    QCOMPARE(Bytes(mac), kMac);
    QCOMPARE(late.load(), 0);

    // Two threads asked to stop, the reader and the other, end within a read.
    std::atomic<bool> stop{false};
    std::vector<std::thread> stopped;
    for (int which = 0; which < 2; ++which) {
        stopped.emplace_back([&] {
            platform::SetStopFlag(&stop);
            Wait(table, "198.51.100.30", 3000);
            platform::SetStopFlag(nullptr);
        });
        QTest::qWait(50);
    }
    QElapsedTimer sinceStop;
    sinceStop.start();
    stop = true;
    for (std::thread &thread : stopped)
        thread.join();
    QVERIFY2(sinceStop.elapsed() < 500, qPrintable(QString::number(sinceStop.elapsed())));
}

void TestSendArp::aQuestionWithoutRowIsAskedAgain()
{
    // Two reads without the address (its datagram lost), two resolving it.
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<MIB_IPNET_ROW2> *rows) {
            const int read = ++reads;
            rows->push_back(Row(NlnsReachable, kMac, "198.51.100.2"));
            if (read >= 3)
                rows->push_back(Row(read >= 5 ? NlnsReachable : NlnsIncomplete,
                                    read >= 5 ? kMac : QByteArray(6, '\0')));
            return true;
        },
        std::chrono::milliseconds(20));
    int asked = 0;
    QVERIFY(Wait(table, "198.51.100.20", 2000, nullptr, [&asked] { ++asked; }));
    QCOMPARE(reads.load(), 5);
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestSendArp)
#include "tst_sendarp_win.moc"
