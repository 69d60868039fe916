#include "identify/askround.h"

#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QUdpSocket>
#include <QVariant>
#include <QtEndian>

namespace identify {

bool RoundSetup::IsTarget(const QHostAddress &address) const
{
    bool ok = false;
    const quint32 value = address.toIPv4Address(&ok);
    return ok && targets.count(value) > 0;
}

bool OpenQuestionSocket(QUdpSocket &socket, const RoundSetup &setup, int ttl)
{
    const QNetworkInterface card = QNetworkInterface::interfaceFromName(setup.interfaceName);
    if (setup.interfaceName.isEmpty() || !card.isValid())
        return false;
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!socket.bind(setup.from, 0))
        return false;
    socket.setMulticastInterface(card);
    if (socket.multicastInterface().index() != card.index())
        return false;
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(ttl));
    socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, QVariant(0));
    return true;
}

quint32 KeyOf(quint32 address)
{
    return qToBigEndian(address);
}

} // namespace identify
