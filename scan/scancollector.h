#pragma once

#include "scan/scanreceiver.h"

#include <QMutex>

// A receiver that keeps what a scan hands over until its owner, polling from
// another thread, takes it: trelvan-list's, and the tests'. (The window keeps
// the same two things as members of its own, which its heartbeat reads.)
class ScanCollector : public ScanReceiver
{
public:
    void SetPendingStatus(const QString &text) override;
    void PublishHosts(const HostMap &hosts) override;

    // The status line left since the last call, or empty.
    QString TakeStatus();
    // Whether the scan has published its answers yet, and the answers.
    bool Published() const;
    HostMap Hosts() const;

private:
    mutable QMutex mutex;
    QString status;
    HostMap hosts;
    bool published = false;
};
