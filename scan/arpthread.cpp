#include "scan/arpthread.h"

#include "network/hostname.h"
#include "network/localnames.h"
#include "network/networklog.h"
#include "platform/sendarp.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QTcpSocket>

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

// Whether the socket's connection is established within what is left of
// the time since start; closes it when it is.
bool Connected(QTcpSocket &socket, const QElapsedTimer &sinceStart)
{
    const qint64 left = std::max<qint64>(1, WebConnectTimeoutMs - sinceStart.elapsed());
    if (!socket.waitForConnected(int(left)))
        return false;
    socket.close();
    return true;
}
} // namespace

ArpThread::ArpThread(HostMap *results, quint32 address, QRecursiveMutex *resultsMutex)
    : results(results), address(address), resultsMutex(resultsMutex), lookupPending(false)
{
}

void ArpThread::lookedUp(const QHostInfo &host)
{
    if (host.error() == QHostInfo::NoError)
        qCDebug(lcNames) << AddressText(address) << host.hostName();
    hostName = NameOf(host, AddressText(address));
    lookupPending = false;
}

void ArpThread::run()
{
    std::vector<unsigned char> buffer(8, 0xFF);
    quint32 length = static_cast<quint32>(buffer.size());
    platform::SetStopFlag(stopFlag);
    if (platform::SendARP(address, 0, buffer.data(), &length) != 0 || length == 0)
        return;
    // Never trust a length beyond what the buffer holds.
    length = std::min<quint32>(length, static_cast<quint32>(buffer.size()));

    const QString addressText = AddressText(address);
    qDebug().noquote() << tr("\tRéponse de %0").arg(addressText);

    buffer.resize(length);
    HostRecord record;
    record.mac = buffer;
    record.webServer = false;

    // Everything at once: the connections proceed in the system while the
    // probe waits for the names, and each wait has its own deadline.
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

    if (local) {
        const LocalNames answers = local->Wait();
        record.names.mdns = answers.mdns;
        record.names.netbios = answers.netbios;
    }
    // Port 80 wins when both accept.
    if (Connected(*socket, sinceConnect))
        record.webServer = true;
    else if (Connected(*secureSocket, sinceConnect))
        record.secureWebServer = true;

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
