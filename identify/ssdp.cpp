#include "identify/ssdp.h"

#include "identify/freetext.h"
#include "identify/httphead.h"

namespace identify::ssdp {

namespace {

// A decimal number of at most maxDigits digits, no leading zero, at most
// maximum; false otherwise.
bool Decimal(const QByteArray &text, int maxDigits, quint32 maximum, quint32 *value)
{
    if (text.isEmpty() || text.size() > maxDigits || (text.size() > 1 && text[0] == '0'))
        return false;
    quint32 number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + quint32(c - '0');
    }
    *value = number;
    return number <= maximum;
}

} // namespace

QByteArray MSearch()
{
    return QByteArrayLiteral("M-SEARCH * HTTP/1.1\r\n"
                             "HOST: 239.255.255.250:1900\r\n"
                             "MAN: \"ssdp:discover\"\r\n"
                             "MX: 1\r\n"
                             "ST: ssdp:all\r\n"
                             "\r\n");
}

bool ParseReply(const QByteArray &datagram, Reply *reply)
{
    *reply = Reply();
    HttpHead head;
    if (datagram.size() > kMaxReplyBytes || !ParseHttpHead(datagram, kMaxHeaders, &head) ||
        head.status != 200)
        return false;
    bool repeated[4] = {};
    const QByteArray location = head.Value("location", &repeated[0]);
    const QByteArray server = head.Value("server", &repeated[1]);
    const QByteArray st = head.Value("st", &repeated[2]);
    const QByteArray usn = head.Value("usn", &repeated[3]);
    for (const bool twice : repeated)
        if (twice)
            return false;
    if (location.isEmpty())
        return false;
    reply->location = location;
    reply->server = CheckedText(server);
    reply->st = CheckedText(st);
    reply->usn = CheckedText(usn);
    return true;
}

bool CheckLocation(const QByteArray &location, quint32 source, Location *where)
{
    constexpr char scheme[] = "http://";
    if (location.left(sizeof scheme - 1).toLower() != scheme)
        return false;
    const QByteArray rest = location.mid(sizeof scheme - 1);
    const qsizetype slash = rest.indexOf('/');
    const QByteArray authority = slash < 0 ? rest : rest.left(slash);
    Location found;
    found.path = slash < 0 ? QByteArray("/") : rest.mid(slash);
    if (found.path.size() > kMaxPathBytes)
        return false;
    for (const char c : found.path)
        if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '#')
            return false;
    QByteArray host = authority;
    const qsizetype colon = authority.indexOf(':');
    if (colon >= 0) {
        quint32 port = 0;
        if (!Decimal(authority.mid(colon + 1), 5, 65535, &port) || port == 0)
            return false;
        found.port = static_cast<quint16>(port);
        host = authority.left(colon);
    }
    const QList<QByteArray> octets = host.split('.');
    if (octets.size() != 4)
        return false;
    quint32 address = 0;
    for (const QByteArray &octet : octets) {
        quint32 value = 0;
        if (!Decimal(octet, 3, 255, &value))
            return false;
        address = address << 8 | value;
    }
    if (address != source)
        return false;
    *where = found;
    return true;
}

} // namespace identify::ssdp
