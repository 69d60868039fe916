#pragma once

// One identification round on one network: the questions that make devices
// say what they are (DNS-SD, SSDP and their descriptions, the head of a web
// page), asked of the hosts a scan found, on that network's interface only.
// Asker is what the engine drives; tests give it a fake of their own.

#include "identify/identity.h"
#include "network/ipv4network.h"

#include <QObject>
#include <QtGlobal>

#include <map>
#include <memory>
#include <vector>

namespace identify {

// A round ends at most this long after it began, whatever arrives: with the
// table rebuilt before it starts, what it learnt is shown within 1.5 s of
// the scan's own table.
constexpr int kRoundDeadlineMs = 1400;

// One host of the scan to ask.
struct Target
{
    quint32 key = 0; // its HostMap key (the four octets in network order)
    std::vector<unsigned char> mac;
    bool web = false;       // port 80 accepted a connection at the scan
    bool secureWeb = false; // port 80 did not, port 443 did
    bool page = false;      // read its web page's head this round
};

// What a round learnt, by host key; a host that said nothing is absent.
// Only what each host said of itself: the maker, the gateway and this
// machine are the engine's to add.
using FindingsMap = std::map<quint32, Findings>;

class Asker : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks the targets on network's interface; Finished follows once, at
    // most kRoundDeadlineMs later (at once for no target). Ignored while a
    // round runs.
    virtual void Start(const Ipv4Network &network, const std::vector<Target> &targets) = 0;
    virtual bool Running() const = 0;

signals:
    void Finished(const Ipv4Network &network, const identify::FindingsMap &found);
};

// The Asker that puts the questions on the network (identify/networkasker.cpp).
std::unique_ptr<Asker> MakeNetworkAsker();

} // namespace identify
