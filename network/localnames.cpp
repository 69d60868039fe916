#include "network/localnames.h"

#include "network/hostname.h"
#include "network/namepackets.h"
#include "network/networklog.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QVariant>

#include <atomic>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

std::atomic<LocalNameQuery::Function> installed{nullptr};

// Multicast DNS packets go out with an IP TTL of 255, so that a receiver
// can tell they come from its own link.
constexpr int MdnsTtl = 255;
// Larger than any answer of interest; a longer datagram is cut and fails
// to parse.
constexpr qint64 MaxDatagram = 9000;

quint16 RandomId()
{
    return static_cast<quint16>(QRandomGenerator::global()->bounded(1, 0x10000));
}

QByteArray Bytes(const std::vector<uint8_t> &packet)
{
    return QByteArray(reinterpret_cast<const char *>(packet.data()), qsizetype(packet.size()));
}

// Makes the interface's address the one the socket's multicast leaves from.
// False when the system refuses it: then the group is not asked at all,
// rather than on whatever interface the system would pick.
bool ChooseMulticastInterface(QUdpSocket &socket, quint32 interfaceAddress)
{
    in_addr chosen{};
    chosen.s_addr = htonl(interfaceAddress);
#ifdef Q_OS_WIN
    const auto handle = static_cast<SOCKET>(socket.socketDescriptor());
    if (::setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char *>(&chosen),
                     sizeof chosen) != 0)
        return false;
#else
    if (::setsockopt(int(socket.socketDescriptor()), IPPROTO_IP, IP_MULTICAST_IF, &chosen,
                     sizeof chosen) != 0)
        return false;
#endif
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(MdnsTtl));
    socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, QVariant(0));
    return true;
}

} // namespace

LocalNameQuery::LocalNameQuery(quint32 host, quint32 fromAddress, quint32 mask)
    : address(host), interfaceAddress(fromAddress), netmask(mask), mdnsId(RandomId()),
      netbiosId(RandomId())
{
    sinceStart.start();
    while (netbiosId == mdnsId)
        netbiosId = RandomId();
    if (const Function function = installed.load()) {
        const QString text = QHostAddress(address).toString();
        const LocalNames given = function(text);
        answer.mdns = AcceptedName(given.mdns, "mDNS", text);
        answer.netbios = AcceptedName(given.netbios, "NetBIOS", text);
        return;
    }
    // Only a host of the chosen network.
    if ((address & netmask) != (interfaceAddress & netmask) || netmask == 0xFFFFFFFFu)
        return;
    socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(QHostAddress(interfaceAddress), 0)) {
        socket.reset();
        return;
    }
    multicast = ChooseMulticastInterface(*socket, interfaceAddress);
    Send(true, true);
}

LocalNameQuery::~LocalNameQuery() = default;

LocalNameQuery::Function LocalNameQuery::SetFunction(Function function)
{
    return installed.exchange(function);
}

void LocalNameQuery::Send(bool mdnsToo, bool netbiosToo)
{
    const QHostAddress host(address);
    if (mdnsToo) {
        const QByteArray question = Bytes(namepackets::MdnsReverseQuery(address, mdnsId));
        QNetworkDatagram toHost(question, host, namepackets::kMdnsPort);
        toHost.setHopLimit(MdnsTtl);
        socket->writeDatagram(toHost);
        if (multicast)
            socket->writeDatagram(question, QHostAddress(namepackets::kMdnsGroup),
                                  namepackets::kMdnsPort);
    }
    if (netbiosToo)
        socket->writeDatagram(Bytes(namepackets::NetbiosStatusQuery(netbiosId)), host,
                              namepackets::kNetbiosPort);
}

void LocalNameQuery::Receive()
{
    const QString addressText = QHostAddress(address).toString();
    while (datagramsLeft > 0 && socket->hasPendingDatagrams()) {
        --datagramsLeft;
        const QNetworkDatagram datagram = socket->receiveDatagram(MaxDatagram);
        // Only the host asked speaks for itself, on each source's port.
        if (datagram.senderAddress().toIPv4Address() != address)
            continue;
        const auto *data = reinterpret_cast<const uint8_t *>(datagram.data().constData());
        const auto size = std::size_t(datagram.data().size());
        std::string name;
        namerule::NameFault fault = namerule::NameFault::None;
        if (datagram.senderPort() == namepackets::kMdnsPort && !mdnsSettled) {
            if (namepackets::ParseMdnsReverseAnswer(data, size, address, mdnsId, &name, &fault)) {
                answer.mdns = QString::fromUtf8(name.data(), qsizetype(name.size()));
                mdnsSettled = true;
            } else if (fault != namerule::NameFault::None) {
                NoteRefusedName("mDNS", addressText, fault);
                mdnsSettled = true;
            }
        } else if (datagram.senderPort() == namepackets::kNetbiosPort && !netbiosSettled) {
            if (namepackets::ParseNetbiosStatus(data, size, netbiosId, &name, &fault)) {
                answer.netbios = QString::fromUtf8(name.data(), qsizetype(name.size()));
                netbiosSettled = true;
            } else if (fault != namerule::NameFault::None) {
                NoteRefusedName("NetBIOS", addressText, fault);
                netbiosSettled = true;
            }
        }
    }
}

LocalNames LocalNameQuery::Wait()
{
    if (!socket)
        return answer;
    bool resent = false;
    for (;;) {
        Receive();
        const qint64 elapsed = sinceStart.elapsed();
        const bool awaitMdns = !mdnsSettled && elapsed < MdnsTimeoutMs;
        const bool awaitNetbios = !netbiosSettled && elapsed < NetbiosTimeoutMs;
        // A flood of datagrams ends the wait as the deadline does.
        if ((!awaitMdns && !awaitNetbios) || datagramsLeft == 0)
            break;
        if (!resent && elapsed >= ResendAfterMs) {
            Send(awaitMdns, awaitNetbios);
            resent = true;
        }
        qint64 until = std::max(awaitMdns ? MdnsTimeoutMs : 0, awaitNetbios ? NetbiosTimeoutMs : 0);
        if (!resent)
            until = std::min<qint64>(until, ResendAfterMs);
        socket->waitForReadyRead(int(std::max<qint64>(1, until - elapsed)));
    }
    socket.reset();
    qCDebug(lcNames).noquote() << QHostAddress(address).toString() << "mDNS" << answer.mdns
                               << "NetBIOS" << answer.netbios;
    return answer;
}
