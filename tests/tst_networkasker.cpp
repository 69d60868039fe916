// The network's Asker on loopback, against responders of the test's own
// that answer as hosts would: what a target says counts, a non-target's
// answer does not, a LOCATION naming another host is never fetched, and a
// flood of datagrams does not stretch the round past its deadline.
#include "dnssdpackets.h"
#include "identify/networkasker.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace identify;
using namespace testpackets;

namespace {

constexpr quint32 Asked = 0x7F000002;    // 127.0.0.2
constexpr quint32 Stranger = 0x7F000003; // 127.0.0.3

// Under Wine the fake hosts' datagrams do not leave from the loopback
// address each socket is bound to (seen: the SSDP reply from 127.0.0.2
// never counted, and of two responders sharing a port on 127.0.0.2 and .3
// the first never got the question): the hosts cannot stand apart there.
bool UnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

QByteArray Page(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nServer: lighttpd\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

class TestNetworkAsker : public QObject
{
    Q_OBJECT

private slots:
    void roundOnLoopback()
    {
        if (UnderWine())
            QSKIP("under Wine the fake hosts on 127.0.0.x cannot stand apart");
        // The target's web server: its page and its description.
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress(Asked)));
        connect(&web, &QTcpServer::newConnection, this, [&web] {
            QTcpSocket *peer = web.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [peer] {
                const QByteArray request = peer->readAll();
                peer->write(request.startsWith("GET /desc.xml ")
                                ? Page(Description("<friendlyName>Salon &lt;b&gt;</friendlyName>"
                                                   "<modelName>Lecteur 7</modelName>"))
                                : Page("<html><title>Box &amp; Co</title></html>"));
                peer->disconnectFromHost();
            });
        });
        // Another host, which no one may reach on the target's word.
        QTcpServer stranger;
        QVERIFY(stranger.listen(QHostAddress(Stranger)));

        QUdpSocket mdns, strangerMdns, ssdp, strangerSsdp;
        // Two hosts answering from one port (Windows wants it shared).
        const auto shared = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
        QVERIFY(mdns.bind(QHostAddress(Asked), 0, shared));
        QVERIFY(strangerMdns.bind(QHostAddress(Stranger), mdns.localPort(), shared));
        QVERIFY(ssdp.bind(QHostAddress(Asked), 0));
        QVERIFY(strangerSsdp.bind(QHostAddress(Stranger), 0));
        QTimer flood;
        connect(&mdns, &QUdpSocket::readyRead, this, [&] {
            while (mdns.hasPendingDatagrams()) {
                const QNetworkDatagram question = mdns.receiveDatagram();
                const QByteArray data = question.data();
                if (data.size() < 12 || flood.isActive())
                    continue;
                const quint16 id = qFromBigEndian<quint16>(data.constData());
                const QHostAddress asker = question.senderAddress();
                const auto port = quint16(question.senderPort());
                mdns.writeDatagram(Response(Printer("Bureau", Asked), 0x8400, id), asker, port);
                strangerMdns.writeDatagram(Response(Printer("Intrus", Stranger), 0x8400, id), asker,
                                           port);
                // Then junk, as fast as the loop goes, until the round ends.
                connect(&flood, &QTimer::timeout, &mdns, [&mdns, asker, port] {
                    for (int i = 0; i < 50; ++i)
                        mdns.writeDatagram(QByteArray(512, 'x'), asker, port);
                });
                flood.start(1);
            }
        });
        connect(&ssdp, &QUdpSocket::readyRead, this, [&] {
            while (ssdp.hasPendingDatagrams()) {
                const QNetworkDatagram search = ssdp.receiveDatagram();
                if (!search.data().startsWith("M-SEARCH"))
                    continue;
                const auto reply = [](const QHostAddress &host, quint16 port, const char *path) {
                    return "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nLOCATION: http://" +
                           host.toString().toLatin1() + ':' + QByteArray::number(port) + path +
                           "\r\n\r\n";
                };
                const QHostAddress to = search.senderAddress();
                const auto port = quint16(search.senderPort());
                ssdp.writeDatagram(reply(QHostAddress(Stranger), stranger.serverPort(), "/d"), to,
                                   port);
                strangerSsdp.writeDatagram(
                    reply(QHostAddress(Stranger), stranger.serverPort(), "/"), to, port);
                ssdp.writeDatagram(reply(QHostAddress(Asked), web.serverPort(), "/desc.xml"), to,
                                   port);
            }
        });

        NetworkAskerOptions options;
        options.mdnsGroup = Asked;
        options.mdnsPort = mdns.localPort();
        options.ssdpGroup = Asked;
        options.ssdpPort = ssdp.localPort();
        options.webPort = web.serverPort();
        const std::unique_ptr<Asker> asker = MakeNetworkAsker(options);
        QSignalSpy finished(asker.get(), &Asker::Finished);
        Ipv4Network network;
        network.ip = QHostAddress(0x7F000001);
        network.netmask = QHostAddress(0xFF000000);
        // The loopback interface, by the name the system gives it.
        for (const QNetworkInterface &card : QNetworkInterface::allInterfaces())
            if (card.flags() & QNetworkInterface::IsLoopBack)
                network.interfaceName = card.name();
        Target target;
        target.key = qToBigEndian(Asked);
        target.web = target.page = true;
        Target other;
        other.key = qToBigEndian(0x7F000004u);
        QElapsedTimer round;
        round.start();
        asker->Start(network, {target, other});
        QVERIFY(asker->Running());
        QVERIFY(finished.wait(kRoundDeadlineMs + 1000));
        const qint64 took = round.elapsed();
        flood.stop();
        QVERIFY2(took <= kRoundDeadlineMs + 200, qPrintable(QString::number(took)));
        QTest::qWait(100);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!asker->Running());
        QVERIFY(!stranger.hasPendingConnections());

        const auto found = finished.at(0).at(1).value<FindingsMap>();
        QCOMPARE(found.size(), std::size_t(1));
        const Findings &said = found.at(qToBigEndian(Asked));
        QCOMPARE(said.dnssd.Types(), QStringList{"_ipp._tcp"});
        QCOMPARE(said.dnssd.services.value(0).instance, QString("Bureau"));
        QCOMPARE(said.upnp.friendlyName, QString("Salon <b>"));
        QCOMPARE(said.upnp.modelName, QString("Lecteur 7"));
        QCOMPARE(said.page.title, QString("Box & Co"));
        QCOMPARE(said.page.server, QString("lighttpd"));
    }
};

QTEST_GUILESS_MAIN(TestNetworkAsker)
#include "tst_networkasker.moc"
