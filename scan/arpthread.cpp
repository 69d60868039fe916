#include "scan/arpthread.h"

#include "network/hostname.h"
#include "network/networklog.h"
#include "platform/sendarp.h"

#include <QDebug>
#include <QMutexLocker>
#include <QTcpSocket>

#include <memory>

namespace {
constexpr quint16 WebPort = 80;
constexpr int WebConnectTimeoutMs = 1500;
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

    // The name is looked up while port 80 is tried.
    lookupPending = true;
    ReverseLookup lookup(addressText);

    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(addressText, WebPort, QIODevice::ReadWrite);
    if (socket->waitForConnected(WebConnectTimeoutMs)) {
        socket->close();
        record.webServer = true;
    }

    // At most a second from the lookup's start: a slow or absent resolver
    // holds the probe no longer than its port-80 attempt, or a second.
    lookedUp(lookup.Wait(LookupTimeoutMs));
    record.name = hostName;

    {
        QMutexLocker locker(resultsMutex);
        (*results)[address] = record;
    }
}
