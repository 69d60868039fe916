#pragma once

// What the parts of one identification round share: where they ask from,
// whom they may hear, and the socket their questions leave by.

#include "identify/asker.h"
#include "identify/networkasker.h"

#include <QHostAddress>
#include <QString>

#include <set>

class QUdpSocket;

namespace identify {

struct RoundSetup
{
    QHostAddress from;         // the network's own address
    QString interfaceName;     // the network's interface
    std::set<quint32> targets; // the hosts asked, host order
    NetworkAskerOptions options;

    bool IsTarget(const QHostAddress &address) const;
};

// Datagrams read from one host in a round, and from everyone.
constexpr int kMaxDatagramsPerHost = 16;
constexpr int kMaxDatagramsPerRound = 512;
// The largest datagram read whole; a longer one is cut and fails to parse.
constexpr qint64 kMaxDatagramBytes = 9000;

// Binds socket to the network's address on an ephemeral port and makes the
// network's interface the one its multicast leaves by, with that TTL.
// False when either fails: then nothing is sent, rather than by whatever
// interface the system would pick.
bool OpenQuestionSocket(QUdpSocket &socket, const RoundSetup &setup, int ttl);

// The HostMap key of a host-order address.
quint32 KeyOf(quint32 address);

} // namespace identify
