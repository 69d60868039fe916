#include "scan/hostrecord.h"
#include "scan/ipv6join.h"

#include <QHostAddress>
#include <QTest>

namespace {

quint32 Key(const char *address)
{
    return HostKey(QHostAddress(QString::fromLatin1(address)).toIPv4Address());
}

platform::Ipv6Neighbour Neighbour(const char *address, unsigned char lastMacByte,
                                  std::uint32_t age = 0)
{
    platform::Ipv6Neighbour row;
    const Q_IPV6ADDR bytes = QHostAddress(QString::fromLatin1(address)).toIPv6Address();
    std::copy(bytes.c, bytes.c + 16, row.address.begin());
    row.mac = {0x02, 0x00, 0x5e, 0x10, 0x00, lastMacByte};
    row.age = age;
    return row;
}

QStringList KeyOrder(const HostMap &map)
{
    QStringList order;
    for (const auto &entry : map)
        order << AddressText(entry.first);
    return order;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<platform::Ipv6Neighbour>)

class TestHostRecord : public QObject
{
    Q_OBJECT

private slots:
    void keyHoldsOctetsInMemoryOrder()
    {
        const quint32 key = Key("192.168.1.20");
        const auto *bytes = reinterpret_cast<const unsigned char *>(&key);
        QCOMPARE(int(bytes[0]), 192);
        QCOMPARE(int(bytes[1]), 168);
        QCOMPARE(int(bytes[2]), 1);
        QCOMPARE(int(bytes[3]), 20);
        QCOMPARE(AddressText(key), QStringLiteral("192.168.1.20"));
        QCOMPARE(HostOrderAddress(key), QHostAddress("192.168.1.20").toIPv4Address());
    }

    void addressTextHasNoPadding()
    {
        QCOMPARE(AddressText(Key("10.0.0.7")), QStringLiteral("10.0.0.7"));
        QCOMPARE(AddressText(Key("255.255.255.0")), QStringLiteral("255.255.255.0"));
    }

    // The map's own order, and the address order in which hosts are shown.
    void order_data()
    {
        QTest::addColumn<QStringList>("inserted");
        QTest::addColumn<QStringList>("mapOrder");
        QTest::addColumn<QStringList>("addressOrder");
        const QStringList oneNet{"192.168.1.2", "192.168.1.9", "192.168.1.10", "192.168.1.100"};
        QTest::newRow("one /24") << QStringList{"192.168.1.10", "192.168.1.2", "192.168.1.100",
                                                "192.168.1.9"}
                                 << oneNet << oneNet;
        QTest::newRow("last octet weighs most in the map")
            << QStringList{"10.0.1.5", "10.0.2.3", "10.0.1.255"}
            << QStringList{"10.0.2.3", "10.0.1.5", "10.0.1.255"}
            << QStringList{"10.0.1.5", "10.0.1.255", "10.0.2.3"};
        QTest::newRow("networks apart") << QStringList{"192.168.1.9", "10.0.2.3", "192.168.1.10"}
                                        << QStringList{"10.0.2.3", "192.168.1.9", "192.168.1.10"}
                                        << QStringList{"10.0.2.3", "192.168.1.9", "192.168.1.10"};
    }

    void order()
    {
        QFETCH(QStringList, inserted);
        QFETCH(QStringList, mapOrder);
        QFETCH(QStringList, addressOrder);
        HostMap map;
        for (const QString &address : inserted)
            map[Key(address.toLatin1().constData())] = HostRecord{{1, 2, 3, 4, 5, 6}, false};
        QStringList shown;
        for (const quint32 key : KeysInAddressOrder(map))
            shown << AddressText(key);
        QCOMPARE(shown, addressOrder);
        if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            QSKIP("the map's order across /24s is that of a little-endian machine");
        QCOMPARE(KeyOrder(map), mapOrder);
    }

    void recordEquality()
    {
        const HostRecord six{{0, 1, 2, 3, 4, 5}, false};
        HostRecord eight = six;
        eight.mac.push_back(6);
        eight.mac.push_back(7);
        QVERIFY(six != eight);

        HostRecord web = six;
        web.webServer = true;
        QVERIFY(six != web);

        HostRecord otherByte = six;
        otherByte.mac[5] = 0x55;
        QVERIFY(six != otherByte);

        QVERIFY(six == HostRecord(six));
        HostRecord withIpv6 = six;
        withIpv6.ipv6 << QStringLiteral("fe80::1");
        QVERIFY(six == withIpv6);
        QCOMPARE(HostRecord().mac.size(), std::size_t(0));
        QCOMPARE(HostRecord().webServer, false);
    }

    void ipv6JoinsByMac_data()
    {
        using Rows = std::vector<platform::Ipv6Neighbour>;
        QTest::addColumn<Rows>("rows");
        QTest::addColumn<QStringList>("first");  // of the host whose MAC ends in 01
        QTest::addColumn<QStringList>("second"); // ... in 02

        QTest::newRow("none") << Rows{} << QStringList{} << QStringList{};
        QTest::newRow("each its own") << Rows{Neighbour("fe80::1", 1), Neighbour("fe80::2", 2)}
                                      << QStringList{"fe80::1"} << QStringList{"fe80::2"};
        QTest::newRow("link-local first, then the freshest")
            << Rows{Neighbour("2001:db8::a", 1, 9000), Neighbour("2001:db8::b", 1, 10),
                    Neighbour("fe80::1", 1, 50000)}
            << QStringList{"fe80::1", "2001:db8::b", "2001:db8::a"} << QStringList{};
        QTest::newRow("an address twice is once")
            << Rows{Neighbour("fe80::1", 1, 30), Neighbour("fe80::1", 1, 5)}
            << QStringList{"fe80::1"} << QStringList{};
        QTest::newRow("a MAC no host has makes nothing")
            << Rows{Neighbour("fe80::9", 9)} << QStringList{} << QStringList{};
        QTest::newRow("multicast, loopback, unspecified and IPv4 forms are no host's")
            << Rows{Neighbour("ff02::1", 1), Neighbour("::1", 1), Neighbour("::", 1),
                    Neighbour("::ffff:192.0.2.1", 1)}
            << QStringList{} << QStringList{};
        Rows groupMac{Neighbour("fe80::1", 1), Neighbour("fe80::2", 2)};
        groupMac[0].mac = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
        groupMac[1].mac = {};
        QTest::newRow("a group or empty MAC is no host's")
            << groupMac << QStringList{} << QStringList{};
        Rows flood;
        for (int index = 0; index < 5000; ++index)
            flood.push_back(
                Neighbour(qPrintable(QStringLiteral("2001:db8::%1").arg(index + 1, 0, 16)), 1,
                          std::uint32_t(5000 - index)));
        QStringList freshest;
        for (int index = 0; index < int(kMaxIpv6PerHost); ++index)
            freshest << QStringLiteral("2001:db8::%1")
                            .arg(int(platform::kMaxIpv6Neighbours) - index, 0, 16);
        QTest::newRow("a flood keeps a few per host, from the rows read")
            << flood << freshest << QStringList{};
    }

    void ipv6JoinsByMac()
    {
        QFETCH(std::vector<platform::Ipv6Neighbour>, rows);
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        HostMap hosts;
        hosts[Key("198.51.100.1")] = {{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}, false};
        hosts[Key("198.51.100.2")] = {{0x02, 0x00, 0x5e, 0x10, 0x00, 0x02}, false};
        hosts[Key("198.51.100.2")].ipv6 << QStringLiteral("fe80::dead"); // of an earlier scan
        hosts[Key("198.51.100.3")] = {{0x02, 0x00}, false};
        JoinIpv6(hosts, rows);
        QCOMPARE(hosts.size(), std::size_t(3));
        QCOMPARE(hosts[Key("198.51.100.1")].ipv6, first);
        QCOMPARE(hosts[Key("198.51.100.2")].ipv6, second);
        QVERIFY(hosts[Key("198.51.100.3")].ipv6.isEmpty());
    }

    void namesMissingFromAScanAreKept()
    {
        HostRecord before{{1, 2, 3, 4, 5, 6}, false};
        before.names = {QStringLiteral("nas.example"), QStringLiteral("nas-salon.local"),
                        QStringLiteral("NAS")};
        const HostMap earlier{{Key("10.0.0.2"), before}, {Key("10.0.0.3"), before}};
        HostRecord now = before;
        now.names = {QString(), QString(), QStringLiteral("NAS-2")};
        HostRecord otherCard = now;
        otherCard.mac.back() = 7;
        HostMap latest{
            {Key("10.0.0.2"), now}, {Key("10.0.0.3"), otherCard}, {Key("10.0.0.4"), now}};
        KeepKnownNames(latest, earlier);
        const HostNames kept{QStringLiteral("nas.example"), QStringLiteral("nas-salon.local"),
                             QStringLiteral("NAS-2")};
        QCOMPARE(latest.at(Key("10.0.0.2")).names, kept);
        QCOMPARE(latest.at(Key("10.0.0.2")).name, QStringLiteral("nas-salon"));
        // Another card, or an address not seen before, keeps only its own.
        QCOMPARE(latest.at(Key("10.0.0.3")).names, now.names);
        QCOMPARE(latest.at(Key("10.0.0.4")).names, now.names);
    }

    void mapsDifferingInOneWebFlagAreUnequal()
    {
        HostMap a;
        a[Key("192.168.1.2")] = {{1, 2, 3, 4, 5, 6}, false};
        a[Key("192.168.1.3")] = {{1, 2, 3, 4, 5, 7}, true};
        HostMap b = a;
        QVERIFY(a == b);
        b[Key("192.168.1.3")].webServer = false;
        QVERIFY(a != b);
    }

    void storingAgainReplacesTheWholeRecord()
    {
        HostMap map;
        const quint32 key = Key("192.168.1.20");
        map[key] = {{1, 2, 3, 4, 5, 6, 7, 8}, true};
        map[key] = {{9, 9, 9, 9, 9, 9}, false};
        QCOMPARE(map.size(), std::size_t(1));
        QCOMPARE(map[key], (HostRecord{{9, 9, 9, 9, 9, 9}, false}));
    }

    void publishingAnEmptyMapEmptiesTheTarget()
    {
        HostMap target;
        target[Key("192.168.1.20")] = {{1, 2, 3, 4, 5, 6}, false};
        target = HostMap();
        QVERIFY(target.empty());
    }
};

QTEST_GUILESS_MAIN(TestHostRecord)
#include "tst_hostrecord.moc"
