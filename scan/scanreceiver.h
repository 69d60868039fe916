#pragma once

#include "scan/hostrecord.h"

#include <QString>

// What a scan coordinator hands its results to: the window, or the
// command-line lister. Both calls come from the coordinator's thread, so an
// implementation guards what they write.
class ScanReceiver
{
public:
    virtual ~ScanReceiver() = default;

    // A status line: the start and the end of a scan.
    virtual void SetPendingStatus(const QString &text) = 0;
    // The answers of a finished scan, replacing any earlier ones.
    virtual void PublishHosts(const HostMap &hosts) = 0;
};
