#include "identify/dnssdask.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>

namespace identify {

namespace {

// Multicast DNS packets carry an IP TTL of 255 (RFC 6762, section 11).
constexpr int kMdnsTtl = 255;

quint16 RandomId()
{
    return static_cast<quint16>(QRandomGenerator::global()->bounded(1, 0x10000));
}

} // namespace

DnssdAsk::DnssdAsk(const RoundSetup &given, QObject *parent)
    : QObject(parent), setup(given), servicesId(RandomId()), instancesId(RandomId())
{
    while (instancesId == servicesId)
        instancesId = RandomId();
    open = OpenQuestionSocket(socket, setup, kMdnsTtl);
    if (!open)
        return;
    connect(&socket, &QUdpSocket::readyRead, this, &DnssdAsk::Receive);
    socket.writeDatagram(dnssd::ServicesQuery(servicesId), QHostAddress(setup.options.mdnsGroup),
                         setup.options.mdnsPort);
}

void DnssdAsk::Receive()
{
    bool newTypes = false;
    while (open && socket.hasPendingDatagrams()) {
        if (datagramsLeft-- <= 0) {
            // Enough heard this round: the rest is not read.
            socket.close();
            open = false;
            break;
        }
        const QNetworkDatagram datagram = socket.receiveDatagram(kMaxDatagramBytes);
        if (datagram.senderPort() != setup.options.mdnsPort ||
            !setup.IsTarget(datagram.senderAddress()))
            continue;
        const quint32 source = datagram.senderAddress().toIPv4Address();
        if (++heard[source] > kMaxDatagramsPerHost)
            continue;
        dnssd::Records &gathered = records[source];
        const qsizetype typesBefore = gathered.serviceTypes.size();
        if (!dnssd::ParseResponse(datagram.data(), servicesId, &gathered))
            dnssd::ParseResponse(datagram.data(), instancesId, &gathered);
        for (qsizetype i = typesBefore; i < gathered.serviceTypes.size(); ++i)
            newTypes = newTypes || !asked.contains(gathered.serviceTypes.at(i));
    }
    if (newTypes)
        AskInstances();
}

void DnssdAsk::AskInstances()
{
    if (!open || instanceQueries >= kMaxInstanceQueries)
        return;
    QStringList types;
    for (const auto &[source, gathered] : records)
        for (const QString &type : gathered.serviceTypes)
            if (!asked.contains(type) && !types.contains(type) &&
                types.size() < dnssd::kMaxQuestions)
                types.append(type);
    const QByteArray query = dnssd::InstancesQuery(types, instancesId);
    for (const QString &type : types)
        asked.insert(type);
    if (query.isEmpty())
        return;
    ++instanceQueries;
    socket.writeDatagram(query, QHostAddress(setup.options.mdnsGroup), setup.options.mdnsPort);
}

void DnssdAsk::Collect(FindingsMap &found) const
{
    for (const auto &[source, gathered] : records) {
        dnssd::HostServices said = dnssd::FromHost(gathered, source);
        if (!said.isEmpty())
            found[KeyOf(source)].dnssd = std::move(said);
    }
}

} // namespace identify
