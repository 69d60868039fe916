#pragma once

// The DNS-SD part of a round: "_services._dns-sd._udp.local" asked of the
// group from an ephemeral port (answered by unicast, RFC 6762 section 6.7),
// then the instances of the types the targets gave. An answer counts only
// from a target's address and the responder's port, and only what that
// host said of itself (dnssd::FromHost).

#include "identify/askround.h"
#include "identify/dnssd.h"

#include <QObject>
#include <QSet>
#include <QUdpSocket>

#include <map>

namespace identify {

class DnssdAsk : public QObject
{
    Q_OBJECT

public:
    // Sends the first question at once, unless the socket can't be opened
    // on the network's interface.
    explicit DnssdAsk(const RoundSetup &setup, QObject *parent = nullptr);

    // What each target said of itself, into found by host key.
    void Collect(FindingsMap &found) const;

    // Questions of instances sent in one round at most.
    static constexpr int kMaxInstanceQueries = 4;

private:
    void Receive();
    void AskInstances();

    const RoundSetup &setup;
    QUdpSocket socket;
    bool open = false;
    quint16 servicesId = 0;
    quint16 instancesId = 0;
    int datagramsLeft = kMaxDatagramsPerRound;
    int instanceQueries = 0;
    std::map<quint32, int> heard; // datagrams read per host
    std::map<quint32, dnssd::Records> records;
    QSet<QString> asked; // service types whose instances were asked
};

} // namespace identify
