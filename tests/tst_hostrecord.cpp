#include "scan/hostrecord.h"

#include <QHostAddress>
#include <QTest>

namespace {

quint32 Key(const char *address)
{
    return HostKey(QHostAddress(QString::fromLatin1(address)).toIPv4Address());
}

QStringList KeyOrder(const HostMap &map)
{
    QStringList order;
    for (const auto &entry : map)
        order << AddressText(entry.first);
    return order;
}

} // namespace

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
        QCOMPARE(HostRecord().mac.size(), std::size_t(0));
        QCOMPARE(HostRecord().webServer, false);
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
