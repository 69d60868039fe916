#pragma once

// SSDP, the discovery of UPnP devices: the one M-SEARCH question, sent from
// an ephemeral port to the group, the reading of a reply (an HTTP response
// in one datagram), and the check that the description it points to lies on
// the replying host itself. Pure functions over bytes: no sockets.

#include <QByteArray>
#include <QString>

namespace identify::ssdp {

// 239.255.255.250, host order, and the port.
constexpr quint32 kGroup = 0xEFFFFFFAu;
constexpr quint16 kPort = 1900;
// A reply longer than this, or with more header lines, is not read.
constexpr int kMaxReplyBytes = 2048;
constexpr int kMaxHeaders = 32;
// The longest path of a description's location.
constexpr int kMaxPathBytes = 256;

// M-SEARCH for every device and service ("ssdp:all"), answered within one
// second ("MX: 1").
QByteArray MSearch();

// A reply's headers: where its description lies (unchecked bytes: see
// CheckLocation), and its server, search target and unique service name as
// text.
struct Reply
{
    QByteArray location;
    QString server;
    QString st;
    QString usn;
};

// Reads a reply: "HTTP/1.1 200 OK", headers in any case, no header of the
// four repeated, at most kMaxReplyBytes and kMaxHeaders; a text that breaks
// the text rule is left empty. False when the datagram is no such reply or
// names no location.
bool ParseReply(const QByteArray &datagram, Reply *reply);

// Where to fetch a description on the replying host.
struct Location
{
    quint16 port = 80;
    QByteArray path = "/";
};

// The location is a plain "http://" address whose host is exactly the
// replying address in dotted decimal (no name, no other host, no user or
// password, no leading zeros), with a port if any and a path of printable
// ASCII of at most kMaxPathBytes. False otherwise: such a location is never
// fetched.
bool CheckLocation(const QByteArray &location, quint32 source, Location *where);

} // namespace identify::ssdp
