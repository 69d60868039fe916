// What devices say of themselves, read as hostile input: DNS-SD responses,
// SSDP replies and the locations they name, UPnP descriptions, the head of
// a web page; and the type, model and tooltip that the rules make of it.
#include "dnssdpackets.h"
#include "identify/identity.h"
#include "identify/ssdp.h"

#include <QTest>

using namespace identify;
using namespace testpackets;

class TestIdentify : public QObject
{
    Q_OBJECT

private slots:
    void dnssdQueries()
    {
        const QByteArray services = dnssd::ServicesQuery(Id);
        QCOMPARE(services, QByteArray("\x42\x42\0\0\0\x01\0\0\0\0\0\0", 12) +
                               Name({"_services", "_dns-sd", "_udp", "local"}) +
                               QByteArray("\0\x0C\0\x01", 4));
        const QByteArray instances =
            dnssd::InstancesQuery({"_ipp._tcp", "_bad", "x._tcp", "_ipp._tcp", "_a._udp"}, Id);
        QCOMPARE(instances.mid(4, 2), QByteArray("\0\x02", 2)); // two questions
        QVERIFY(instances.contains(Name({"_a", "_udp", "local"})));
        QVERIFY(dnssd::InstancesQuery({"_ipp._sctp"}, Id).isEmpty());
    }

    void dnssdResponse_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("instance"); // of the source's one service
        QTest::addColumn<QStringList>("types");
        const QStringList ipp{"_ipp._tcp"};
        const QByteArray hp = "HP OfficeJet Pro 9010 [A1B2C3]";
        QTest::newRow("printer") << Response(Printer(hp)) << true << QString(hp) << ipp;
        QTest::newRow("markup is text")
            << Response(Printer("<b>Bureau</b>")) << true << "<b>Bureau</b>" << ipp;
        QTest::newRow("A of another address")
            << Response(Printer(hp, Other)) << true << QString() << ipp;
        QTest::newRow("control in instance")
            << Response(Printer("a\x1b[2Jb")) << true << QString() << ipp;
        QTest::newRow("a query") << Response(Printer(hp), 0x0000) << false << QString()
                                 << QStringList();
        QTest::newRow("other id") << Response(Printer(hp), 0x8400, Id + 1) << false << QString()
                                  << QStringList();
        QTest::newRow("error code")
            << Response(Printer(hp), 0x8403) << false << QString() << QStringList();
        QTest::newRow("cut short")
            << Response(Printer(hp)).chopped(3) << false << QString() << QStringList();
        // A name that points at itself, and one that points forward.
        QTest::newRow("compression loop")
            << Response({QByteArray("\xC0\x0C", 2) + Record({}, 1, "abcd")}) << false << QString()
            << QStringList();
        QTest::newRow("pointer forward")
            << Response({QByteArray("\xC0\x20", 2) + Record({}, 1, "abcd")}) << false << QString()
            << QStringList();
        // 70 address records before the printer's: 64 read, no more.
        QList<QByteArray> flood(70, Record(Name({"x", "local"}), 1, "\xC6\x33\x64\x14"));
        QTest::newRow("records past the bound")
            << Response(flood + Printer(hp)) << true << QString() << QStringList();
    }

    void dnssdResponse()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, parsed);
        QFETCH(QString, instance);
        QFETCH(QStringList, types);
        dnssd::Records records;
        QCOMPARE(dnssd::ParseResponse(datagram, Id, &records), parsed);
        QCOMPARE(records.serviceTypes, types);
        QVERIFY(records.addresses.size() <= dnssd::kMaxRecords);
        const dnssd::HostServices host = dnssd::FromHost(records, Host);
        QCOMPARE(host.services.isEmpty(), instance.isEmpty());
        if (instance.isEmpty())
            return;
        QCOMPARE(host.hostNames, QStringList{"imprimante.local"});
        const dnssd::Service &service = host.services.first();
        QCOMPARE(service.instance, instance);
        QCOMPARE(service.type, QString("_ipp._tcp"));
        QCOMPARE(service.port, quint16(631));
        QCOMPARE(service.Txt("ty"), QString("HP OfficeJet Pro 9010")); // the first one counts
        QCOMPARE(service.txt.size(), 2);
        QVERIFY(dnssd::FromHost(records, Other).isEmpty());
    }

    void ssdpReply_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("server");
        const QByteArray tail = "ST: upnp:rootdevice\r\nUSN: uuid:1::upnp:rootdevice\r\n\r\n";
        QTest::newRow("reply") << "HTTP/1.1 200 OK\r\nLOCATION: http://198.51.100.20/d.xml\r\n"
                                  "SERVER: Linux UPnP/1.0 Renderer/2\r\n" +
                                      tail
                               << true << "Linux UPnP/1.0 Renderer/2";
        QTest::newRow("any case, LF only")
            << QByteArray("HTTP/1.1 200 OK\nlocation: http://x/\nServer: a\n\n") << true << "a";
        QTest::newRow("announcement")
            << "NOTIFY * HTTP/1.1\r\nLOCATION: http://198.51.100.20/\r\n" + tail << false
            << QString();
        QTest::newRow("not 200") << "HTTP/1.1 404 Not Found\r\nLOCATION: http://x/\r\n" + tail
                                 << false << QString();
        QTest::newRow("no location") << "HTTP/1.1 200 OK\r\n" + tail << false << QString();
        QTest::newRow("location twice")
            << "HTTP/1.1 200 OK\r\nLOCATION: http://a/\r\nLocation: http://b/\r\n" + tail << false
            << QString();
        QTest::newRow("folded header")
            << "HTTP/1.1 200 OK\r\nLOCATION: http://x/\r\n  more\r\n" + tail << false << QString();
        QTest::newRow("escape in server")
            << QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://x/\r\nSERVER: a\x1b[31m\r\n\r\n")
            << true << QString();
        QTest::newRow("oversized")
            << "HTTP/1.1 200 OK\r\nLOCATION: http://x/\r\nX: " + QByteArray(2048, 'a') + "\r\n\r\n"
            << false << QString();
        QByteArray many = "HTTP/1.1 200 OK\r\nLOCATION: http://x/\r\n";
        for (int i = 0; i < ssdp::kMaxHeaders; ++i)
            many += "X: y\r\n";
        QTest::newRow("too many headers") << many << false << QString();
    }

    void ssdpReply()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, parsed);
        QFETCH(QString, server);
        ssdp::Reply reply;
        QCOMPARE(ssdp::ParseReply(datagram, &reply), parsed);
        QCOMPARE(reply.server, server);
        QCOMPARE(reply.location.isEmpty(), !parsed);
        QVERIFY(ssdp::MSearch().contains("\r\nST: ssdp:all\r\n"));
        QVERIFY(ssdp::MSearch().contains("\r\nMX: 1\r\n"));
    }

    void ssdpLocation_data()
    {
        QTest::addColumn<QByteArray>("location");
        QTest::addColumn<bool>("fetched");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("plain") << QByteArray("http://198.51.100.20:49152/desc.xml") << true << 49152
                               << QByteArray("/desc.xml");
        QTest::newRow("no path") << QByteArray("HTTP://198.51.100.20") << true << 80
                                 << QByteArray("/");
        QTest::newRow("another host")
            << QByteArray("http://198.51.100.21/d.xml") << false << 0 << QByteArray();
        QTest::newRow("a name") << QByteArray("http://tv.local/d.xml") << false << 0
                                << QByteArray();
        QTest::newRow("credentials")
            << QByteArray("http://u:p@198.51.100.20/") << false << 0 << QByteArray();
        QTest::newRow("host after credentials")
            << QByteArray("http://198.51.100.20@203.0.113.9/") << false << 0 << QByteArray();
        QTest::newRow("https") << QByteArray("https://198.51.100.20/") << false << 0
                               << QByteArray();
        QTest::newRow("leading zero")
            << QByteArray("http://198.051.100.20/") << false << 0 << QByteArray();
        QTest::newRow("longer host")
            << QByteArray("http://198.51.100.20.evil/") << false << 0 << QByteArray();
        QTest::newRow("port 0") << QByteArray("http://198.51.100.20:0/") << false << 0
                                << QByteArray();
        QTest::newRow("port too big")
            << QByteArray("http://198.51.100.20:65536/") << false << 0 << QByteArray();
        QTest::newRow("space in path")
            << QByteArray("http://198.51.100.20/a b") << false << 0 << QByteArray();
        QTest::newRow("long path") << "http://198.51.100.20/" + QByteArray(ssdp::kMaxPathBytes, 'a')
                                   << false << 0 << QByteArray();
    }

    void ssdpLocation()
    {
        QFETCH(QByteArray, location);
        QFETCH(bool, fetched);
        QFETCH(int, port);
        QFETCH(QByteArray, path);
        ssdp::Location where;
        QCOMPARE(ssdp::CheckLocation(location, Host, &where), fetched);
        if (fetched) {
            QCOMPARE(int(where.port), port);
            QCOMPARE(where.path, path);
        }
    }

    void upnpDescription_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("friendlyName");
        QTest::addColumn<QString>("modelName");
        const QByteArray fields = "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1"
                                  "</deviceType><friendlyName>\n  Salon\n</friendlyName>"
                                  "<modelName>Renderer 2</modelName>";
        QTest::newRow("renderer") << Description(fields) << true << "Salon"
                                  << "Renderer 2";
        QTest::newRow("embedded device aside")
            << Description("<deviceList><device><friendlyName>Autre</friendlyName></device>"
                           "</deviceList>" +
                           fields)
            << true << "Salon"
            << "Renderer 2";
        QTest::newRow("markup is text")
            << Description("<friendlyName>&lt;b&gt;Salon&lt;/b&gt;</friendlyName>") << true
            << "<b>Salon</b>" << QString();
        QTest::newRow("override refused")
            << Description("<friendlyName>a\xE2\x80\xAEz</friendlyName><modelName>M</modelName>")
            << true << QString() << "M";
        QTest::newRow("DTD") << Description(fields, "<!DOCTYPE root>") << false << QString()
                             << QString();
        QTest::newRow("entity expansion")
            << Description("<friendlyName>&b;</friendlyName>",
                           "<!DOCTYPE root [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]>")
            << false << QString() << QString();
        QTest::newRow("undeclared entity")
            << Description("<friendlyName>&a;</friendlyName>") << false << QString() << QString();
        QTest::newRow("oversized")
            << Description(fields + "<x>" + QByteArray(upnp::kMaxDescriptionBytes, 'a') + "</x>")
            << false << QString() << QString();
        QTest::newRow("too deep") << Description(QByteArray(20 * 3, 'x').replace("xxx", "<a>") +
                                                 QByteArray(20 * 4, 'x').replace("xxxx", "</a>"))
                                  << false << QString() << QString();
        QTest::newRow("not a root") << QByteArray("<html><device><friendlyName>a</friendlyName>"
                                                  "</device></html>")
                                    << false << QString() << QString();
        QTest::newRow("not well-formed")
            << Description(fields).chopped(3) << false << QString() << QString();
    }

    void upnpDescription()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, parsed);
        QFETCH(QString, friendlyName);
        QFETCH(QString, modelName);
        upnp::Device device;
        QCOMPARE(upnp::ParseDescription(xml, &device), parsed);
        QCOMPARE(device.friendlyName, friendlyName);
        QCOMPARE(device.modelName, modelName);
    }

    void webHead_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("title");
        const QByteArray ok = "HTTP/1.1 200 OK\r\nServer: lighttpd\r\n";
        QTest::newRow("page") << ok + "\r\n<html><head><title>Box</title>" << 200 << "lighttpd"
                              << "Box";
        QTest::newRow("references, spaces")
            << ok + "\r\n<TITLE lang=fr>\n A &amp; B &lt;i&gt; &#233;t&#xE9;&nbsp; &bogus; "
                    "&#0;</title>"
            << 200 << "lighttpd" << QString::fromUtf8("A & B <i> été &bogus; &#0;");
        QTest::newRow("Latin-1 by header")
            << ok + "Content-Type: text/html; charset=ISO-8859-1\r\n\r\n<title>caf\xE9</title>"
            << 200 << "lighttpd" << QString::fromUtf8("café");
        QTest::newRow("Latin-1 by meta")
            << ok + "\r\n<meta charset=\"windows-1252\"><title>caf\xE9</title>" << 200 << "lighttpd"
            << QString::fromUtf8("café");
        QTest::newRow("Latin-1 by its bytes")
            << ok + "\r\n<title>caf\xE9</title>" << 200 << "lighttpd" << QString::fromUtf8("café");
        QTest::newRow("chunked")
            << ok + "Transfer-Encoding: chunked\r\n\r\n7\r\n<title>\r\n3;x\r\nNAS\r\n8\r\n</title>"
                    "\r\n0\r\n\r\n"
            << 200 << "lighttpd"
            << "NAS";
        QTest::newRow("compressed") << ok + "Content-Encoding: gzip\r\n\r\n<title>x</title>" << 200
                                    << "lighttpd" << QString();
        QTest::newRow("control refused")
            << ok + "\r\n<title>a&#27;[2Jb</title>" << 200 << "lighttpd" << QString();
        QTest::newRow("past 32 KiB")
            << ok + "\r\n" + QByteArray(web::kMaxResponseBytes, ' ') + "<title>x</title>" << 200
            << "lighttpd" << QString();
        QTest::newRow("long title cut") << ok + "\r\n<title>" + QByteArray(200, 'a') + "</title>"
                                        << 200 << "lighttpd" << QString(web::kMaxTitleBytes, 'a');
        QTest::newRow("redirect, bidi server")
            << QByteArray("HTTP/1.0 302 Found\r\nServer: a\xE2\x80\xAEz\r\nLocation: /x\r\n\r\n")
            << 302 << QString() << QString();
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << 0 << QString()
                                  << QString();
    }

    void webHead()
    {
        QFETCH(QByteArray, response);
        QFETCH(int, status);
        QFETCH(QString, server);
        QFETCH(QString, title);
        web::PageHead head;
        QCOMPARE(web::ParsePageHead(response, &head), status != 0);
        QCOMPARE(head.status, status);
        QCOMPARE(head.server, server);
        QCOMPARE(head.title, title);
    }

    void identity_data()
    {
        QTest::addColumn<QStringList>("services"); // "type" or "type key=value"
        QTest::addColumn<QString>("upnpType");
        QTest::addColumn<QString>("upnpModel");
        QTest::addColumn<QString>("maker");
        QTest::addColumn<int>("place"); // 1 the gateway, 2 this machine
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("tooltip");
        const QString printer = "urn:schemas-upnp-org:device:Printer:1";
        const QString renderer = "urn:schemas-upnp-org:device:MediaRenderer:1";
        QTest::newRow("printer")
            << QStringList{"_ipp._tcp"} << printer << "OfficeJet Pro 9010"
            << "HP Inc." << 0 << "printer"
            << QString::fromUtf8(
                   "Imprimante — HP OfficeJet Pro 9010, d'après : mDNS _ipp._tcp, UPnP");
        QTest::newRow("cast device")
            << QStringList{"_googlecast._tcp md=Chromecast", "_googlecast._tcp fn=Salon"}
            << QString() << QString() << QString() << 0 << "media-player"
            << QString::fromUtf8("Lecteur multimédia — Chromecast « Salon », d'après : "
                                 "mDNS _googlecast._tcp");
        QTest::newRow("NAS") << QStringList{"_smb._tcp", "_ssh._tcp"} << QString() << QString()
                             << QString() << 0 << "nas"
                             << QString::fromUtf8("Stockage réseau « Bureau », d'après : mDNS "
                                                  "_smb._tcp");
        QTest::newRow("gateway over its UPnP")
            << QStringList() << renderer << QString() << QString() << 1 << "router"
            << QString::fromUtf8("Routeur, d'après : passerelle");
        QTest::newRow("this machine")
            << QStringList{"_smb._tcp"} << QString() << QString() << QString() << 2 << "computer"
            << QString::fromUtf8("Cet ordinateur « Bureau »");
        QTest::newRow("maker alone")
            << QStringList() << QString() << QString() << "Sonos, Inc." << 0 << "speaker"
            << QString::fromUtf8("Enceinte, d'après : fabricant");
        // Ranks 50 both: the table's order.
        QTest::newRow("tie") << QStringList{"_hap._tcp"} << renderer << QString() << QString() << 0
                             << "media-player"
                             << QString::fromUtf8("Lecteur multimédia « Bureau », d'après : UPnP");
        QTest::newRow("nothing") << QStringList() << QString() << QString() << QString() << 0
                                 << "unknown" << QString();
    }

    void identity()
    {
        QFETCH(QStringList, services);
        QFETCH(QString, upnpType);
        QFETCH(QString, upnpModel);
        QFETCH(QString, maker);
        QFETCH(int, place);
        QFETCH(QString, type);
        QFETCH(QString, tooltip);
        Findings findings;
        for (const QString &said : services) {
            const QString serviceType = said.section(' ', 0, 0);
            if (findings.dnssd.services.isEmpty() ||
                findings.dnssd.services.last().type != serviceType)
                // The printer's instance is named as its model: no name of its own.
                findings.dnssd.services.append(
                    {serviceType,
                     upnpModel.isEmpty() ? "Bureau" : "hp officejet pro 9010",
                     80,
                     {}});
            const QString pair = said.section(' ', 1);
            if (!pair.isEmpty())
                findings.dnssd.services.last().txt.append(
                    {pair.section('=', 0, 0).toLatin1(), pair.section('=', 1)});
        }
        findings.upnp.deviceType = upnpType;
        findings.upnp.modelName = upnpModel;
        findings.upnp.udn = upnpType.isEmpty() ? QString() : QStringLiteral("uuid:1234");
        if (!upnpModel.isEmpty())
            findings.upnp.manufacturer = "HP";
        findings.maker = maker;
        findings.gateway = place == 1;
        findings.thisMachine = place == 2;
        const Identity identity = Identify(findings);
        QCOMPARE(TypeKey(identity.type), type.toLatin1());
        QCOMPARE(Tooltip(identity), tooltip);
        QCOMPARE(identity.evidence.isEmpty(), type == "unknown");
        QCOMPARE(TypeOfKey(type), identity.type);
        // The UPnP maker, for the lists that name one (Home Assistant).
        QCOMPARE(identity.manufacturer, upnpModel.isEmpty() ? QString() : QStringLiteral("HP"));
        // What tells the device again: its instance names, each once, its UDN.
        const QString instance = upnpModel.isEmpty() ? "Bureau" : "hp officejet pro 9010";
        QCOMPARE(identity.instances, services.isEmpty() ? QStringList() : QStringList{instance});
        QCOMPARE(identity.udn, findings.upnp.udn);
    }
};

QTEST_GUILESS_MAIN(TestIdentify)
#include "tst_identify.moc"
