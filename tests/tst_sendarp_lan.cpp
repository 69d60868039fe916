// SystemSendARP on a real link: run by tests/lan/sendarp-lan-test.sh inside
// the scanner namespace of the LAN it has tests/lan/lan.sh build (its hosts
// are listed there), once as root and once as an unprivileged user.
// TRELVAN_ARP_LAN names the path that should run: "packet" or "neighbour".

#include "platform/linux/netlinkmessages.h"
#include "platform/sendarp.h"

#include <QElapsedTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *const kInterface = "eth0";
const char *const kClientIp = "198.51.100.1";
const char *const kClientMac = "02:54:52:00:00:01";
const char *const kPeerIp = "198.51.100.2";
const char *const kPeerMac = "02:54:52:00:00:02";
const char *const kSlowIp = "198.51.100.3"; // answers 300 ms late
const char *const kSlowMac = "02:54:52:00:00:03";
const char *const kShyIp = "198.51.100.4"; // ignores the first request
const char *const kShyMac = "02:54:52:00:00:04";
const char *const kClaimedIp = "198.51.100.5"; // a second card answers 30 ms later
const char *const kClaimedMac = "02:54:52:00:00:05";
const char *const kTwinMac = "02:54:52:00:00:55";
const char *const kDecoyIp = "198.51.100.6";    // answers in the name of .8
const char *const kDepartedIp = "198.51.100.9"; // gone, but the kernel has a STALE entry
const char *const kDepartedMac = "02:54:52:00:00:09";
const char *const kAbsentIp = "198.51.100.77";
const char *const kOffNetworkIp = "203.0.113.5";

uint32_t Ip(const char *text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

struct Call
{
    quint32 error = 0;
    quint32 length = 0;
    unsigned char mac[8] = {};
    qint64 milliseconds = 0;

    bool answered() const { return error == 0 && length != 0; }
    QString macText() const
    {
        QStringList pairs;
        for (quint32 i = 0; i < length; ++i)
            pairs << QStringLiteral("%1").arg(mac[i], 2, 16, QLatin1Char('0')).toUpper();
        return pairs.join(QLatin1Char(':'));
    }
};

Call Resolve(uint32_t address)
{
    Call call;
    call.length = sizeof call.mac;
    memset(call.mac, 0xFF, sizeof call.mac);
    QElapsedTimer timer;
    timer.start();
    call.error = platform::SystemSendARP(address, 0, call.mac, &call.length);
    call.milliseconds = timer.elapsed();
    return call;
}

Call Resolve(const char *text)
{
    return Resolve(Ip(text));
}

// The state of the kernel's own neighbour entry: NUD_* or -errno.
int KernelEntry(const char *text)
{
    using namespace platform::linuxarp;
    const int ifindex = static_cast<int>(if_nametoindex(kInterface));
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -errno;
    timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::vector<uint8_t> query = BuildNeighbourQuery(ifindex, Ip(text), 7);
    send(fd, query.data(), query.size(), 0);
    uint8_t buffer[4096];
    const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
    close(fd);
    if (size <= 0)
        return -ETIMEDOUT;
    NeighbourReport report;
    ScanNeighbourMessages(buffer, static_cast<std::size_t>(size), ifindex, Ip(text), 7, &report);
    if (!report.replied)
        return -EPROTO;
    return report.error ? -report.error : report.state;
}

bool IsResolved(int entry)
{
    return entry > 0 && platform::linuxarp::IsResolvedState(static_cast<uint16_t>(entry));
}

} // namespace

class TestSendArpLan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void theExpectedPathRuns();
    void liveHostAnswersWithItsMac();
    void ownAddressAnswersAtOnceWithOwnMac();
    void absentAddressGivesUpAfterItsWait();
    void addressOffEveryNetworkGetsNoAnswer();
    void slowHostIsFound();
    void hostThatMissesARequestIsFound();
    void replyInAnotherAddressNameIsNotTaken();
    void secondCardIsToldWhereEveryReplyIsSeen();
    void departedHostDropsOut();
    void burstFindsEveryLiveHost();

private:
    bool packetPath = false;
};

void TestSendArpLan::initTestCase()
{
    const QString mode = qEnvironmentVariable("TRELVAN_ARP_LAN");
    if (mode.isEmpty())
        QSKIP("runs inside the LAN that tests/lan/sendarp-lan-test.sh builds");
    QVERIFY2(mode == QLatin1String("packet") || mode == QLatin1String("neighbour"),
             qPrintable(mode));
    packetPath = mode == QLatin1String("packet");
    QVERIFY2(if_nametoindex(kInterface) != 0, "not inside the test LAN's scanner namespace");
}

void TestSendArpLan::theExpectedPathRuns()
{
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (packetPath)
        QVERIFY2(fd >= 0, strerror(error));
    else
        QVERIFY2(fd < 0 && (error == EPERM || error == EACCES), "a packet socket was allowed");
}

void TestSendArpLan::liveHostAnswersWithItsMac()
{
    QCOMPARE(KernelEntry(kPeerIp), -ENOENT);
    const Call call = Resolve(kPeerIp);
    qInfo("live host answered in %lld ms", static_cast<long long>(call.milliseconds));
    QCOMPARE(call.error, 0u);
    QCOMPARE(call.length, 6u);
    QCOMPARE(call.macText(), QString::fromLatin1(kPeerMac));
    // Returned on the reply, not at the end of the wait.
    QVERIFY2(call.milliseconds < 900, qPrintable(QString::number(call.milliseconds)));

    // Our own request leaves the kernel's table alone; the neighbour path
    // goes through it.
    const int entry = KernelEntry(kPeerIp);
    if (packetPath)
        QCOMPARE(entry, -ENOENT);
    else
        QVERIFY2(IsResolved(entry), qPrintable(QString::number(entry)));

    // A second call finds it again.
    const Call again = Resolve(kPeerIp);
    QCOMPARE(again.macText(), QString::fromLatin1(kPeerMac));
}

void TestSendArpLan::ownAddressAnswersAtOnceWithOwnMac()
{
    const Call call = Resolve(kClientIp);
    QCOMPARE(call.error, 0u);
    QCOMPARE(call.length, 6u);
    QCOMPARE(call.macText(), QString::fromLatin1(kClientMac));
    QVERIFY2(call.milliseconds < 500, qPrintable(QString::number(call.milliseconds)));
}

void TestSendArpLan::absentAddressGivesUpAfterItsWait()
{
    const Call call = Resolve(kAbsentIp);
    qInfo("absent address gave up after %lld ms", static_cast<long long>(call.milliseconds));
    QVERIFY(!call.answered());
    QCOMPARE(call.length, 0u);
    // Not at once: every request had its chance to be answered.
    QVERIFY2(call.milliseconds >= 750 && call.milliseconds < 5000,
             qPrintable(QString::number(call.milliseconds)));
}

void TestSendArpLan::addressOffEveryNetworkGetsNoAnswer()
{
    const Call call = Resolve(kOffNetworkIp);
    QVERIFY(!call.answered());
    QCOMPARE(call.error, platform::linuxarp::kErrBadNetName);
    QCOMPARE(call.length, 0u);
    // Nothing to wait for: no request can be made.
    QVERIFY2(call.milliseconds < 500, qPrintable(QString::number(call.milliseconds)));
    QCOMPARE(KernelEntry(kOffNetworkIp), -ENOENT);
}

void TestSendArpLan::slowHostIsFound()
{
    const Call call = Resolve(kSlowIp);
    qInfo("host 300 ms away answered in %lld ms", static_cast<long long>(call.milliseconds));
    QVERIFY(call.answered());
    QCOMPARE(call.macText(), QString::fromLatin1(kSlowMac));
    QVERIFY(call.milliseconds >= 250);
}

void TestSendArpLan::hostThatMissesARequestIsFound()
{
    const Call call = Resolve(kShyIp);
    qInfo("host that missed the first request answered in %lld ms",
          static_cast<long long>(call.milliseconds));
    QVERIFY(call.answered());
    QCOMPARE(call.macText(), QString::fromLatin1(kShyMac));
    // Found through a repeated request, not the first one.
    QVERIFY(call.milliseconds >= 150);
}

void TestSendArpLan::replyInAnotherAddressNameIsNotTaken()
{
    const Call call = Resolve(kDecoyIp);
    QVERIFY2(!call.answered(), qPrintable(call.macText()));
}

void TestSendArpLan::secondCardIsToldWhereEveryReplyIsSeen()
{
    const auto scan = std::chrono::steady_clock::now();
    const Call call = Resolve(kClaimedIp);
    QVERIFY(call.answered());
    unsigned char other[6] = {};
    const auto told = [&] {
        return platform::SystemOtherCard(Ip(kClaimedIp), call.mac, scan, other);
    };
    if (!packetPath) {
        // The kernel's table keeps one answer.
        QTest::qWait(500);
        QVERIFY(!told());
        return;
    }
    // The host's own card first; the second comes 30 ms later, and is told.
    QCOMPARE(call.macText(), QString::fromLatin1(kClaimedMac));
    QTRY_VERIFY_WITH_TIMEOUT(told(), 2000);
    Call second;
    second.length = 6;
    std::memcpy(second.mac, other, 6);
    QCOMPARE(second.macText(), QString::fromLatin1(kTwinMac));
    QVERIFY(!platform::SystemOtherCard(Ip(kPeerIp), call.mac, scan, other));
}

void TestSendArpLan::departedHostDropsOut()
{
    QCOMPARE(KernelEntry(kDepartedIp), int(NUD_STALE));
    const Call first = Resolve(kDepartedIp);
    if (packetPath) {
        // Only a reply on the wire counts.
        QVERIFY2(!first.answered(), qPrintable(first.macText()));
        return;
    }
    // The kernel's entry answers at once, as any it holds...
    QVERIFY(first.answered());
    QCOMPARE(first.macText(), QString::fromLatin1(kDepartedMac));
    QVERIFY2(first.milliseconds < 500, qPrintable(QString::number(first.milliseconds)));
    // ...but is checked again, and a host that has left is not found later.
    QTRY_VERIFY_WITH_TIMEOUT(!IsResolved(KernelEntry(kDepartedIp)), 15000);
    const Call later = Resolve(kDepartedIp);
    QVERIFY2(!later.answered(), qPrintable(later.macText()));
}

void TestSendArpLan::burstFindsEveryLiveHost()
{
    // 2048 addresses of a /16 from a thousand threads at once, as a scan of
    // a large network does; three of them answer.
    const uint32_t first = ntohl(Ip("198.51.8.0"));
    const int count = 2048;
    const int threads = 1024;
    const QMap<QString, QString> live = {{"198.51.9.9", "02:54:52:00:01:01"},
                                         {"198.51.12.34", "02:54:52:00:01:02"},
                                         {"198.51.15.254", "02:54:52:00:01:03"}};

    QList<Call> calls(count);
    std::atomic<int> next{0};
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = next++; i < count; i = next++)
                calls[i] = Resolve(htonl(first + static_cast<uint32_t>(i)));
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    const qint64 total = timer.elapsed();

    QMap<QString, QString> answered;
    qint64 slowest = 0;
    for (int i = 0; i < count; ++i) {
        slowest = std::max(slowest, calls[i].milliseconds);
        if (!calls[i].answered())
            continue;
        in_addr address{htonl(first + static_cast<uint32_t>(i))};
        answered[QString::fromLatin1(inet_ntoa(address))] = calls[i].macText();
    }
    qInfo("%d addresses from %d threads: %lld answered, all done in %lld ms, slowest call %lld ms",
          count, threads, static_cast<long long>(answered.size()), static_cast<long long>(total),
          static_cast<long long>(slowest));
    QCOMPARE(answered, live);
}

QTEST_GUILESS_MAIN(TestSendArpLan)
#include "tst_sendarp_lan.moc"
