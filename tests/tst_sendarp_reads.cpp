// The neighbour table's reads that resolutions share where SendARP cannot
// answer (Windows under Wine), over the platform's rows turned neutral: which
// rows tell a host's hardware address, and one read of the table serving
// every resolution waiting at once. Built and run on every platform.

#include "platform/neighbourreads.h"
#include "platform/routechoice.h"
#include "platform/sendarp.h"

#include <QElapsedTimer>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

using namespace platform::neighbours;

namespace {

// An address in network byte order.
quint32 Ip(const char *text)
{
    const QStringList parts = QString::fromLatin1(text).split('.');
    quint32 host = 0;
    for (const QString &part : parts)
        host = host << 8 | part.toUInt();
    return qToBigEndian(host);
}

const QByteArray kMac = QByteArray::fromHex("02544c336414");
constexpr quint32 kInterface = 7;

NeighbourRow Row(NeighbourState state, const QByteArray &mac = kMac,
                 const char *address = "198.51.100.20", quint32 interfaceIndex = kInterface)
{
    NeighbourRow row;
    row.address = Ip(address);
    row.interfaceIndex = interfaceIndex;
    row.state = state;
    row.length = quint32(mac.size());
    std::memcpy(row.bytes.data(), mac.constData(), std::size_t(mac.size()));
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

Q_DECLARE_METATYPE(NeighbourRow)

class TestNeighbourReads : public QObject
{
    Q_OBJECT

private slots:
    void rowsThatCount_data();
    void rowsThatCount();
    void answerBuffer_data();
    void answerBuffer();
    void routeChoice_data();
    void routeChoice();
    void oneReadServesEveryWaiter();
    void onlyLaterReadsAnswerAndStopEndsTheWait();
    void aQuestionWithoutRowIsAskedAgain();
};

void TestNeighbourReads::rowsThatCount_data()
{
    QTest::addColumn<NeighbourRow>("row");
    QTest::addColumn<bool>("counts");
    const QByteArray zero(6, '\0');
    QTest::newRow("reachable") << Row(NeighbourState::Reachable) << true;
    QTest::newRow("permanent") << Row(NeighbourState::Permanent) << true;
    // Being checked by the stack, with the address it had.
    QTest::newRow("stale") << Row(NeighbourState::Stale) << true;
    QTest::newRow("delay") << Row(NeighbourState::Delay) << true;
    QTest::newRow("probe") << Row(NeighbourState::Probe) << true;
    QTest::newRow("other interface")
        << Row(NeighbourState::Reachable, kMac, "198.51.100.20", kInterface + 1) << false;
    QTest::newRow("other address")
        << Row(NeighbourState::Reachable, kMac, "198.51.100.21") << false;
    NeighbourRow marked = Row(NeighbourState::Stale), failed = Row(NeighbourState::Stale, zero),
                 overlong = Row(NeighbourState::Reachable);
    marked.markedUnreachable = failed.markedUnreachable = true;
    overlong.length = 4096;
    QTest::newRow("unreachable") << Row(NeighbourState::Unreachable) << false;
    QTest::newRow("incomplete") << Row(NeighbourState::Incomplete) << false;
    QTest::newRow("unknown state") << Row(NeighbourState::Unknown) << false;
    QTest::newRow("marked unreachable") << marked << false;
    QTest::newRow("failed under Wine") << failed << false; // how Wine shows one
    QTest::newRow("zero") << Row(NeighbourState::Reachable, zero) << false;
    QTest::newRow("short") << Row(NeighbourState::Reachable, QByteArray::fromHex("c6336414"))
                           << false;
    QTest::newRow("length beyond the row") << overlong << false;
    QTest::newRow("multicast hardware address")
        << Row(NeighbourState::Reachable, QByteArray::fromHex("01005e000016")) << false;
    QTest::newRow("broadcast hardware address")
        << Row(NeighbourState::Permanent, QByteArray(6, '\xff')) << false;
    QTest::newRow("multicast address")
        << Row(NeighbourState::Permanent, kMac, "224.0.0.22") << false;
}

void TestNeighbourReads::rowsThatCount()
{
    QFETCH(NeighbourRow, row);
    QFETCH(bool, counts);
    const char *asked = row.address == Ip("224.0.0.22") ? "224.0.0.22" : "198.51.100.20";
    HardwareAddress mac;
    QCOMPARE(RowAnswers(row, Ip(asked), kInterface, &mac), counts);
    if (counts)
        QCOMPARE(Bytes(mac), kMac);
}

// SendARP's checks of the buffer it writes to, on every platform.
void TestNeighbourReads::answerBuffer_data()
{
    QTest::addColumn<bool>("buffer");
    QTest::addColumn<int>("size"); // -1: none given
    QTest::addColumn<quint32>("result");
    QTest::newRow("six bytes") << true << 6 << platform::kNoError;
    QTest::newRow("more") << true << 32 << platform::kNoError;
    QTest::newRow("short") << true << 5 << platform::kErrInvalidUserBuffer;
    QTest::newRow("no buffer") << false << 6 << platform::kErrInvalidParameter;
    QTest::newRow("no size") << true << -1 << platform::kErrInvalidParameter;
}

void TestNeighbourReads::answerBuffer()
{
    QFETCH(bool, buffer);
    QFETCH(int, size);
    QFETCH(quint32, result);
    unsigned char mac[32];
    quint32 length = quint32(std::max(size, 0));
    quint32 room = 0;
    QCOMPARE(
        platform::CheckAnswerBuffer(buffer ? mac : nullptr, size < 0 ? nullptr : &length, &room),
        result);
    if (size >= 0 && buffer) {
        QCOMPARE(length, 0u);
        QCOMPARE(room, quint32(size));
    }
}

// SendARP's choice of an interface, on every platform: two interfaces, a
// /24 and a /16 that holds it, and a /31.
void TestNeighbourReads::routeChoice_data()
{
    QTest::addColumn<QString>("dest");
    QTest::addColumn<QString>("source"); // empty: 0
    QTest::addColumn<QString>("chosen"); // "link source [own]", or the refusal
    const auto row = [](const char *name, const char *dest, const char *source,
                        const char *chosen) {
        QTest::newRow(name) << QString::fromLatin1(dest) << QString::fromLatin1(source)
                            << QString::fromLatin1(chosen);
    };
    row("narrowest network", "192.0.2.9", "", "0 192.0.2.1");
    row("wider network", "192.0.3.9", "", "1 192.0.9.1");
    row("own address", "192.0.9.1", "", "1 192.0.9.1 own");
    row("given source", "192.0.2.9", "192.0.9.1", "1 192.0.9.1");
    row("source not ours", "192.0.2.9", "203.0.113.1", "SourceNotLocal");
    row("no network", "203.0.113.9", "", "NoNetwork");
    row("a network's broadcast", "192.0.2.255", "", "NoHardwareAddress");
    row("limited broadcast", "255.255.255.255", "", "NoHardwareAddress");
    row("multicast", "224.0.0.251", "", "NoHardwareAddress");
    row("zero", "0.0.0.0", "", "NoHardwareAddress");
    row("a /31 has no broadcast", "198.51.100.1", "", "2 198.51.100.0");
    row("an interface that may not", "203.0.113.77", "", "NoNetwork");
}

void TestNeighbourReads::routeChoice()
{
    QFETCH(QString, dest);
    QFETCH(QString, source);
    QFETCH(QString, chosen);
    using platform::InterfaceAddress;
    const std::vector<std::vector<InterfaceAddress>> links = {
        {InterfaceAddress{Ip("192.0.2.1"), 24}},
        {InterfaceAddress{Ip("192.0.9.1"), 16}},
        {InterfaceAddress{Ip("198.51.100.0"), 31}},
        {}, // 203.0.113.0/24, but it may not resolve
    };
    platform::RouteChoice route;
    const platform::RouteResult result = platform::ChooseRoute(
        links, Ip(qPrintable(dest)), source.isEmpty() ? 0 : Ip(qPrintable(source)), &route);
    const char *const refusals[] = {"", "NoNetwork", "SourceNotLocal", "NoHardwareAddress"};
    QString said = QString::fromLatin1(refusals[int(result)]);
    if (result == platform::RouteResult::Found) {
        const quint32 host = qFromBigEndian(route.sourceAddress);
        said = QStringLiteral("%1 %2.%3.%4.%5%6")
                   .arg(route.link)
                   .arg(host >> 24)
                   .arg((host >> 16) & 0xFF)
                   .arg((host >> 8) & 0xFF)
                   .arg(host & 0xFF)
                   .arg(route.own ? QStringLiteral(" own") : QString());
    }
    QCOMPARE(said, chosen);
}

void TestNeighbourReads::oneReadServesEveryWaiter()
{
    // The hosts answer from the third read on; each read takes a while.
    constexpr int hosts = 64;
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<NeighbourRow> *rows) {
            const int read = ++reads;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int host = 0; read >= 3 && host < hosts; ++host)
                rows->push_back(Row(NeighbourState::Reachable, kMac,
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
        [&reads](std::vector<NeighbourRow> *rows) {
            const int read = ++reads;
            for (const char *host : {"198.51.100.1", "198.51.100.2", "198.51.100.4"})
                rows->push_back(Row(NeighbourState::Reachable, kMac, host));
            if (read >= 3)
                rows->push_back(Row(NeighbourState::Reachable, kMac, "198.51.100.3"));
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

void TestNeighbourReads::onlyLaterReadsAnswerAndStopEndsTheWait()
{
    // Only the first, slow, read shows the host: to a waiter that came before
    // it began, not to one that came while it ran (whose question it predates).
    std::atomic<bool> inFirstRead{false};
    std::atomic<bool> releaseFirstRead{false};
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&](std::vector<NeighbourRow> *rows) {
            if (++reads == 1) {
                inFirstRead = true;
                while (!releaseFirstRead)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                rows->push_back(Row(NeighbourState::Reachable, kMac, "198.51.100.20"));
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

void TestNeighbourReads::aQuestionWithoutRowIsAskedAgain()
{
    // Two reads without the address (its datagram lost), two resolving it.
    std::atomic<int> reads{0};
    NeighbourReads table(
        [&reads](std::vector<NeighbourRow> *rows) {
            const int read = ++reads;
            rows->push_back(Row(NeighbourState::Reachable, kMac, "198.51.100.2"));
            if (read >= 3)
                rows->push_back(
                    Row(read >= 5 ? NeighbourState::Reachable : NeighbourState::Incomplete,
                        read >= 5 ? kMac : QByteArray(6, '\0')));
            return true;
        },
        std::chrono::milliseconds(20));
    int asked = 0;
    QVERIFY(Wait(table, "198.51.100.20", 2000, nullptr, [&asked] { ++asked; }));
    QCOMPARE(reads.load(), 5);
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestNeighbourReads)
#include "tst_sendarp_reads.moc"
