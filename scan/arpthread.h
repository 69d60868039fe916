#pragma once

#include "scan/hostrecord.h"

#include <QHostInfo>
#include <QThread>

#include <atomic>

class QMutex;
class QRecursiveMutex;

// Probes one IPv4 address: an ARP request, and for an address that answers,
// all at once, TCP connection attempts to ports 80 and 443 and the questions
// for its name (the system's resolver, multicast DNS, NetBIOS). An answer is
// stored in the coordinator's map; an address that does not answer leaves no
// trace.
class ArpThread : public QThread
{
    Q_OBJECT

public:
    // address is in network byte order, the encoding of a HostMap key.
    ArpThread(HostMap *answers, quint32 probed, QRecursiveMutex *answersMutex);

    HostMap *results;
    quint32 address;
    QRecursiveMutex *resultsMutex;
    // Set while the host-name lookup is outstanding.
    std::atomic<bool> lookupPending;
    // The coordinator's stop request: the ARP request gives up once it is set.
    const std::atomic<bool> *stopFlag = nullptr;
    // The name the lookup found, empty when none.
    QString hostName;
    // The chosen network, host order: the interface's own address and the
    // mask. Multicast questions leave from that address only; without it
    // (0) the host is asked nothing but the system's resolver.
    quint32 interfaceAddress = 0;
    quint32 netmask = 0;

    // The longest a probe waits for the resolver.
    static constexpr int LookupTimeoutMs = 1000;

public slots:
    // The answer of the lookup: notes the name and ends the wait for it.
    void lookedUp(const QHostInfo &host);

protected:
    void run() override;
};

// The hardware address of one address (network byte order, as a HostMap
// key) by the probes' own resolution: the bytes it reported, or none when
// the address did not answer. Blocks for up to about a second.
std::vector<unsigned char> ResolveHardwareAddress(quint32 address);
