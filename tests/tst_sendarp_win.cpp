// The Windows address resolution where SendARP cannot answer (Wine's is a
// stub): which rows of the system's neighbour table tell a host's hardware
// address, through their neutral form. The reads that resolutions share are
// tested on every platform (tst_sendarp_reads.cpp).

#include "platform/windows/neighbourtable.h"

#include <QtTest>

#include <cstring>

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

} // namespace

class TestSendArp : public QObject
{
    Q_OBJECT

private slots:
    void rowsThatCount_data();
    void rowsThatCount();
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

QTEST_GUILESS_MAIN(TestSendArp)
#include "tst_sendarp_win.moc"
