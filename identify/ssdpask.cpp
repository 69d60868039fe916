#include "identify/ssdpask.h"

#include "identify/httphead.h"
#include "identify/ssdp.h"

#include <QNetworkDatagram>

namespace identify {

namespace {

// The M-SEARCH stays on the link: no router passes it on.
constexpr int kSsdpTtl = 1;
constexpr int kMaxDescriptionHeaders = 64;

} // namespace

SsdpAsk::SsdpAsk(const RoundSetup &given, QObject *parent) : QObject(parent), setup(given)
{
    open = OpenQuestionSocket(socket, setup, kSsdpTtl);
    if (!open)
        return;
    connect(&socket, &QUdpSocket::readyRead, this, &SsdpAsk::Receive);
    socket.writeDatagram(ssdp::MSearch(), QHostAddress(setup.options.ssdpGroup),
                         setup.options.ssdpPort);
}

SsdpAsk::~SsdpAsk() = default;

void SsdpAsk::Receive()
{
    while (open && socket.hasPendingDatagrams()) {
        if (datagramsLeft-- <= 0) {
            socket.close();
            open = false;
            break;
        }
        const QNetworkDatagram datagram = socket.receiveDatagram(kMaxDatagramBytes);
        if (!setup.IsTarget(datagram.senderAddress()))
            continue;
        const quint32 source = datagram.senderAddress().toIPv4Address();
        if (++heard[source] > kMaxDatagramsPerHost || fetches.count(source) > 0)
            continue;
        ssdp::Reply reply;
        ssdp::Location where;
        if (!ssdp::ParseReply(datagram.data(), &reply) ||
            !ssdp::CheckLocation(reply.location, source, &where))
            continue;
        PageFetch::Request request;
        request.from = setup.from;
        request.address = source;
        request.port = where.port;
        request.path = where.path;
        request.maxBytes = upnp::kMaxDescriptionBytes;
        request.deadlineMs = setup.options.fetchMs;
        fetches[source] = std::make_unique<PageFetch>(request);
    }
}

QByteArray SsdpAsk::DescriptionBody(const QByteArray &response)
{
    HttpHead head;
    if (!ParseHttpHead(response, kMaxDescriptionHeaders, &head) || head.status != 200 ||
        head.bodyAt < 0 || !head.Value("transfer-encoding").isEmpty())
        return {};
    QByteArray body = response.mid(head.bodyAt);
    bool repeated = false;
    const QByteArray length = head.Value("content-length", &repeated);
    if (!length.isEmpty()) {
        bool ok = false;
        const qlonglong declared = length.toLongLong(&ok);
        if (repeated || !ok || declared < 0 || declared > body.size())
            return {};
        body.truncate(qsizetype(declared));
    }
    return body;
}

void SsdpAsk::Collect(FindingsMap &found) const
{
    for (const auto &[source, fetch] : fetches) {
        upnp::Device device;
        if (upnp::ParseDescription(DescriptionBody(fetch->Response()), &device))
            found[KeyOf(source)].upnp = device;
    }
}

} // namespace identify
