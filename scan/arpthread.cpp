#include "scan/arpthread.h"

#include "network/hostname.h"
#include "network/localnames.h"
#include "network/networklog.h"
#include "platform/sendarp.h"
#include "scan/scanlog.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {
constexpr quint16 WebPort = 80;
constexpr quint16 SecureWebPort = 443;
#ifdef TRELVAN_NO_NAME_QUERIES
// A build that measures what the names cost.
constexpr bool AskNames = false;
#else
constexpr bool AskNames = true;
#endif

// For both ports together, from the start of the two attempts.
constexpr int WebConnectTimeoutMs = 1500;

enum class WebAnswer
{
    None,
    Plain,
    Secure
};

bool Attempting(const QTcpSocket &socket)
{
    return socket.state() != QAbstractSocket::ConnectedState &&
           socket.state() != QAbstractSocket::UnconnectedState;
}

// Which port accepted, port 80 winning when both do: waits until port 80
// accepts or both attempts have ended, within what is left of the time since
// start. The wait is an event loop so that both attempts are followed as they
// go: a socket tries its address twice, and a refusal that lay unread while
// the probe waited for the names, then for the other port, had that second
// try start one round trip to the host after another.
WebAnswer AwaitWebAnswer(QTcpSocket &web, QTcpSocket &secure, const QElapsedTimer &sinceStart)
{
    QEventLoop loop;
    const auto settled = [&] {
        return web.state() == QAbstractSocket::ConnectedState ||
               (!Attempting(web) && !Attempting(secure));
    };
    const auto check = [&] {
        if (settled())
            loop.quit();
    };
    QObject::connect(&web, &QAbstractSocket::stateChanged, &loop, check);
    QObject::connect(&secure, &QAbstractSocket::stateChanged, &loop, check);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(int(std::max<qint64>(0, WebConnectTimeoutMs - sinceStart.elapsed())));
    if (!settled())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (web.state() == QAbstractSocket::ConnectedState) {
        web.close();
        return WebAnswer::Plain;
    }
    if (secure.state() == QAbstractSocket::ConnectedState) {
        secure.close();
        return WebAnswer::Secure;
    }
    return WebAnswer::None;
}
} // namespace

ArpThread::ArpThread(HostMap *answers, quint32 probed, QRecursiveMutex *answersMutex)
    : results(answers), address(probed), resultsMutex(answersMutex), lookupPending(false)
{
}

void ArpThread::lookedUp(const QHostInfo &host)
{
    // A reverse lookup that found no name answers with the address itself,
    // without an error: a line then would only say the address twice.
    const QString addressText = AddressText(address);
    if (host.error() == QHostInfo::NoError && host.hostName() != addressText)
        qCDebug(lcNames) << addressText << host.hostName();
    hostName = NameOf(host, addressText);
    lookupPending = false;
}

void ArpThread::run()
{
    platform::SetStopFlag(stopFlag);
    std::vector<unsigned char> mac = ResolveHardwareAddress(address);
    if (mac.empty())
        return;

    const QString addressText = AddressText(address);
    qCDebug(lcScan).noquote() << tr("\tRéponse de %0").arg(addressText);

    HostRecord record;
    record.mac = std::move(mac);
    record.webServer = false;

    // Everything at once: the names are asked while the connections are
    // tried, and each wait has its own deadline from its start.
    std::unique_ptr<ReverseLookup> lookup;
    std::unique_ptr<LocalNameQuery> local;
    if (AskNames) {
        lookupPending = true;
        lookup = std::make_unique<ReverseLookup>(addressText);
        if (interfaceAddress != 0)
            local = std::make_unique<LocalNameQuery>(HostOrderAddress(address), interfaceAddress,
                                                     netmask);
    }
    QElapsedTimer sinceConnect;
    sinceConnect.start();
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(addressText, WebPort, QIODevice::ReadWrite);
    auto secureSocket = std::make_unique<QTcpSocket>();
    secureSocket->connectToHost(addressText, SecureWebPort, QIODevice::ReadWrite);

    const WebAnswer web = AwaitWebAnswer(*socket, *secureSocket, sinceConnect);
    record.webServer = web == WebAnswer::Plain;
    record.secureWebServer = web == WebAnswer::Secure;

    // The names' deadlines run from their questions, not from this wait.
    if (local) {
        const LocalNames answers = local->Wait();
        record.names.mdns = answers.mdns;
        record.names.netbios = answers.netbios;
    }

    // At most a second from the lookup's start: a slow or absent resolver
    // holds the probe no longer than its port attempts, or a second.
    if (lookup)
        lookedUp(lookup->Wait(LookupTimeoutMs));
    record.names.dns = hostName;
    record.name = ShownName(record.names);

    {
        QMutexLocker locker(resultsMutex);
        (*results)[address] = record;
    }
}

std::vector<unsigned char> ResolveHardwareAddress(quint32 address)
{
    std::vector<unsigned char> buffer(8, 0xFF);
    quint32 length = static_cast<quint32>(buffer.size());
    if (platform::SendARP(address, 0, buffer.data(), &length) != 0 || length == 0)
        return {};
    // Never trust a length beyond what the buffer holds.
    buffer.resize(std::min<quint32>(length, static_cast<quint32>(buffer.size())));
    return buffer;
}
