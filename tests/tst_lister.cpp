// trelvan-list in-process, with the fake interfaces and address resolution:
// the choice of network and its refusals, the output formats, the history
// and the program run for each event. The real scan, watch mode and
// Wake-on-LAN are tests/lan/lister-test.sh.
#include "fakes.h"
#include "testsupport.h"

#include "lister/eventcommand.h"
#include "lister/formats.h"
#include "lister/lister.h"
#include "lister/networkchoice.h"
#include "presence/clock.h"
#include "presence/store.h"
#include "results/commentstore.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using fakes::NetworkOrder;

namespace {

NetworkAddress Named(const char *ip, const char *netmask, const char *name)
{
    NetworkAddress address = fakes::Entry(ip, netmask);
    address.interfaceName = QString::fromLatin1(name);
    return address;
}

qint64 now = 0;
qint64 Now()
{
    return now;
}

// A presence history of nothing yet (a test's folders stay between runs).
void ForgetHistory()
{
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(presence::Store::DefaultFileName() + QLatin1String(suffix));
}

QString ReadBack(std::FILE *file)
{
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, qsizetype(read));
    return QString::fromUtf8(bytes);
}

} // namespace

class TestLister : public QObject
{
    Q_OBJECT

private:
    TemporarySettings settings;
    fakes::SafeNetwork network;

private slots:
    void init()
    {
        ForgetHistory();
        network.reset();
        network.setInterfaces({Named("198.51.100.1", "255.255.255.0", "eth0"),
                               Named("203.0.113.7", "255.255.0.0", "eth1"),
                               Named("10.20.0.1", "255.0.0.0", "eth2")});
    }

    void networkForms_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("netmask");
        QTest::newRow("none: the picker's first") << ""
                                                  << "198.51.100.1"
                                                  << "255.255.255.0";
        QTest::newRow("interface") << "eth1"
                                   << "203.0.113.7"
                                   << "255.255.0.0";
        QTest::newRow("address/prefix") << "198.51.100.1/24"
                                        << "198.51.100.1"
                                        << "255.255.255.0";
        QTest::newRow("network/prefix") << "203.0.0.0/16"
                                        << "203.0.113.7"
                                        << "255.255.0.0";
        QTest::newRow("picker text") << " 198.51.100.1  /  255.255.255.0"
                                     << "198.51.100.1"
                                     << "255.255.255.0";
    }

    void networkForms()
    {
        QFETCH(QString, argument);
        QFETCH(QString, address);
        QFETCH(QString, netmask);
        const lister::NetworkChoice choice = lister::ChooseNetwork(argument);
        QCOMPARE(choice.status, lister::Success);
        QCOMPARE(choice.address, QHostAddress(address));
        QCOMPARE(choice.netmask, QHostAddress(netmask));
    }

    void refusalsSayWhyAndSendNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString possible = QStringLiteral(
            "réseaux possibles\u00a0: 198.51.100.1/24 (eth0), 203.0.113.7/16 (eth1), "
            "10.20.0.1/8 (eth2).");
        QTest::newRow("unknown interface") << QStringList{"eth9"} << possible;
        QTest::newRow("not ours") << QStringList{"198.51.100.1/25"} << possible;
        QTest::newRow("too wide") << QStringList{"10.20.0.1/8"}
                                  << "le réseau 10.20.0.1/8 compte 16777216 adresses, plus "
                                     "que les 65536 que Trelvan parcourt.";
        const QString unreadable = QStringLiteral("réseau illisible");
        QTest::newRow("prefix 33") << QStringList{"198.51.100.1/33"} << unreadable;
        QTest::newRow("holey mask") << QStringList{"198.51.100.1 / 255.0.255.0"} << unreadable;
        QTest::newRow("bare address") << QStringList{"198.51.100.1"} << unreadable;
        QTest::newRow("two networks") << QStringList{"eth0", "eth1"} << "un seul réseau";
        QTest::newRow("format") << QStringList{"--format", "xml"} << "format inconnu";
        QTest::newRow("option") << QStringList{"--vite"} << "option inconnue «\u00a0--vite\u00a0»";
        QTest::newRow("command alone") << QStringList{"--commande", "true"} << "va avec --suivre";
        QTest::newRow("two actions")
            << QStringList{"--suivre", "--historique"} << "une seule action";
        QTest::newRow("no device") << QStringList{"--reveiller"} << "il manque l'appareil";
        QTest::newRow("unreadable device")
            << QStringList{"--reveiller", "00:11:32"} << "appareil illisible";
        QTest::newRow("unknown device") << QStringList{"--reveiller", "00:11:32:AA:BB:10"}
                                        << "appareil inconnu «\u00a000:11:32:AA:BB:10\u00a0»";
    }

    void refusalsSayWhyAndSendNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        std::FILE *out = std::tmpfile();
        std::FILE *err = std::tmpfile();
        const int status = lister::Run(QStringList{"trelvan-list"} + arguments, out, err);
        const QString said = ReadBack(err);
        QCOMPARE(status, int(lister::UsageError));
        QVERIFY2(said.startsWith(QStringLiteral("trelvan-list\u00a0: ")) && said.contains(message),
                 qPrintable(said));
        QCOMPARE(said.count(QLatin1Char('\n')), 1);
        QCOMPARE(ReadBack(out), QString());
        QVERIFY(network.asked().empty());
        std::fclose(out);
        std::fclose(err);
    }

    void noNetworkAtAllCannotScan()
    {
        network.setInterfaces({});
        std::FILE *err = std::tmpfile();
        QCOMPARE(lister::Run({"trelvan-list"}, stdout, err), int(lister::ScanFailed));
        QVERIFY(ReadBack(err).contains(QStringLiteral("aucun réseau")));
        std::fclose(err);
    }

    void formats()
    {
        // A comment a spreadsheet would run, with an escape sequence and a
        // right-to-left override a terminal would obey.
        const QString formula = QStringLiteral("=1+2\x1b[2J\u202Eab");
        CommentMap comments{{QStringLiteral("00:11:32:AA:BB:10"),
                             QStringLiteral("NAS \"principal\", salon\nétage")},
                            {QStringLiteral("02:54:4C:00:01:02"), formula}};
        SaveComments(comments);
        CommentMap stored;
        LoadComments(stored);
        MakerIndex makers;
        IndexVendors({{QStringLiteral("001132"), QStringLiteral("Synology Incorporated")}}, makers);
        HostRecord nas{{0x00, 0x11, 0x32, 0xAA, 0xBB, 0x10}, true, QStringLiteral("nas-salon")};
        nas.names = {QStringLiteral("nas.example"), QStringLiteral("nas-salon.local"), QString()};
        HostRecord secure{{0x02, 0x54, 0x4C, 0, 1, 1}, false, QStringLiteral("PC-DE-LEA")};
        secure.secureWebServer = true;
        secure.names.netbios = QStringLiteral("PC-DE-LEA");
        const HostMap hosts{
            {NetworkOrder("198.51.100.10"), nas},
            {NetworkOrder("198.51.100.9"), HostRecord{{0x02, 0x54, 0x4C, 0, 0, 9}, false}},
            {NetworkOrder("198.51.101.1"), secure},
            {NetworkOrder("198.51.101.2"),
             HostRecord{{0x02, 0x54, 0x4C, 0, 1, 2}, false, QStringLiteral("-2+3")}}};
        const auto listed = MakeHostRows(hosts, stored, makers);

        QCOMPARE(lister::FormatCsv(listed),
                 QStringLiteral("comment,ip,mac,maker,web,name,url\r\n"
                                ",198.51.100.9,02:54:4C:00:00:09,(adresse locale),false,,\r\n"
                                "\"NAS \"\"principal\"\", salon\nétage\",198.51.100.10,"
                                "00:11:32:AA:BB:10,Synology Incorporated,true,nas-salon,"
                                "http://198.51.100.10/\r\n"
                                ",198.51.101.1,02:54:4C:00:01:01,(adresse locale),false,PC-DE-LEA,"
                                "https://198.51.101.1/\r\n"
                                "'") +
                     formula +
                     QStringLiteral(",198.51.101.2,02:54:4C:00:01:02,(adresse locale),false,'-2+3,"
                                    "\r\n"));

        const QJsonArray array =
            QJsonDocument::fromJson(lister::FormatJson(listed).toUtf8()).array();
        QCOMPARE(array.size(), 4);
        QCOMPARE(array[3].toObject()["comment"].toString(), formula); // JSON as it is
        QCOMPARE(array[3].toObject()["name"].toString(), QStringLiteral("-2+3"));
        const QJsonObject json = array[1].toObject();
        QCOMPARE(json.keys(),
                 (QStringList{"comment", "ip", "mac", "maker", "name", "names", "url", "web"}));
        QCOMPARE(json["comment"].toString(), comments.begin()->second);
        QCOMPARE(json["web"], QJsonValue(true));
        QCOMPARE(json["url"].toString(), QStringLiteral("http://198.51.100.10/"));
        QCOMPARE(json["name"].toString(), QStringLiteral("nas-salon"));
        QCOMPARE(
            json["names"].toObject(),
            (QJsonObject{{"dns", "nas.example"}, {"mdns", "nas-salon.local"}, {"netbios", ""}}));
        const QJsonObject https = array[2].toObject();
        QCOMPARE(https["web"], QJsonValue(false));
        QCOMPARE(https["url"].toString(), QStringLiteral("https://198.51.101.1/"));
        QCOMPARE(array[0].toObject()["url"].toString(), QString());

        // One line per host, every column aligned, the line break flattened.
        const QString text = lister::FormatText(listed, false);
        const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[2].indexOf(QStringLiteral("198.51.100.10")),
                 lines[0].indexOf(QStringLiteral("Adresse IP")));
        QVERIFY(lines[2].contains(QStringLiteral("salon étage")));
        QCOMPARE(lines[3].mid(lines[0].indexOf(QStringLiteral("Site web ?"))).section(' ', 0, 0),
                 QStringLiteral("https"));
        // Controls show escaped; the terminal gets none of them.
        QVERIFY(lines[4].startsWith(QStringLiteral("=1+2\\x1B[2J\\u202Eab  ")));
        QVERIFY(!text.contains(QLatin1Char('\x1b')) && !text.contains(QChar(0x202E)));
    }

    void history()
    {
        settings.useProgramIdentity();
        ForgetHistory();
        presence::SetClock(&Now);
        now = QDateTime(QDate(2026, 12, 7), QTime(22, 14), Qt::UTC).toMSecsSinceEpoch();
        {
            presence::Store store;
            presence::ScanResult scan{
                QHostAddress("198.51.100.1"), QHostAddress("255.255.255.0"), "eth0", {}, now};
            scan.hosts[NetworkOrder("198.51.100.10")] = {{0x00, 0x11, 0x32, 0xAA, 0xBB, 0x20},
                                                         true};
            scan.hosts[NetworkOrder("198.51.100.9")] = {{0x02, 0x54, 0x4C, 0, 0, 9}, false};
            store.Record(scan);
            scan.hosts.erase(NetworkOrder("198.51.100.9"));
            for (int i = 1; i <= 7; ++i) {
                scan.time = now + i * 10000;
                store.Record(scan);
            }
        }
        now += 75000;
        std::FILE *out = std::tmpfile();
        QCOMPARE(
            lister::Run({"trelvan-list", "--historique", "--format", "csv", "eth0"}, out, stderr),
            int(lister::Success));
        const QString first = lister::TimeText(now - 75000);
        QCOMPARE(
            ReadBack(out),
            QStringLiteral("comment,ip,mac,maker,name,first_seen,last_seen,present\r\n"
                           ",198.51.100.10,00:11:32:AA:BB:20,Synology Incorporated,,%1,%2,true\r\n"
                           ",198.51.100.9,02:54:4C:00:00:09,(adresse locale),,%1,%1,false\r\n")
                .arg(first, lister::TimeText(now - 5000)));
        QCOMPARE(QDateTime::fromString(first, Qt::ISODate).toMSecsSinceEpoch(), now - 75000);
        std::fclose(out);
        presence::SetClock(nullptr);
    }

#ifdef Q_OS_UNIX
    // A slow program is killed, a failing one said; neither stops the next.
    // (Its input and environment: tests/lan/lister-test.sh.)
    void eventCommand()
    {
        QTemporaryDir dir;
        const auto script = [&dir](const char *name, const QByteArray &body) {
            QFile file(dir.filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write("#!/bin/sh\n" + body + "\n");
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            return file.fileName();
        };
        std::FILE *err = std::tmpfile();
        {
            lister::EventCommand slow(script("slow", "exec sleep 10"), err, 300);
            slow.Post({"left", "00:11:32:AA:BB:10", "198.51.100.10", "{}\n"});
            lister::EventCommand failing(script("failing", "exit 3"), err);
            failing.Post({"left", "00:11:32:AA:BB:10", "198.51.100.10", "{}\n"});
            failing.Post({"appeared", "00:11:32:AA:BB:10", "198.51.100.10", "{}\n"});
            QTRY_COMPARE(ReadBack(err).count('\n'), 3);
        }
        const QString said = ReadBack(err);
        QVERIFY2(said.contains("a dépassé 0\u00a0s\u00a0: arrêtée") &&
                     said.count("a échoué (code 3)") == 2,
                 qPrintable(said));
        std::fclose(err);
    }
#endif
};

QTEST_GUILESS_MAIN(TestLister)
#include "tst_lister.moc"
