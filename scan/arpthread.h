#pragma once

#include "scan/hostrecord.h"

#include <QHostInfo>
#include <QThread>

#include <atomic>

class QMutex;
class QRecursiveMutex;

// Probes one IPv4 address: an ARP request, and for an address that answers a
// TCP connection attempt to port 80 and a reverse lookup of its name. An
// answer is stored in the coordinator's map; an address that does not answer
// leaves no trace.
class ArpThread : public QThread
{
    Q_OBJECT

public:
    // address is in network byte order, the encoding of a HostMap key.
    ArpThread(HostMap *results, quint32 address, QRecursiveMutex *resultsMutex);

    HostMap *results;
    quint32 address;
    QRecursiveMutex *resultsMutex;
    // Set while the host-name lookup is outstanding.
    std::atomic<bool> lookupPending;
    // The coordinator's stop request: the ARP request gives up once it is set.
    const std::atomic<bool> *stopFlag = nullptr;
    // The name the lookup found, empty when none.
    QString hostName;

    // The longest a probe waits for the resolver.
    static constexpr int LookupTimeoutMs = 1000;

public slots:
    // The answer of the lookup: notes the name and ends the wait for it.
    void lookedUp(const QHostInfo &host);

protected:
    void run() override;
};
