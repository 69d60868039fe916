#pragma once

#include "lister/networkchoice.h"
#include "makers/makerlookup.h"
#include "scan/hostrecord.h"

#include <QString>

#include <cstdio>
#include <map>
#include <vector>

namespace lister {

// Watch mode: compares each scan with what the earlier ones saw. A host
// appears on its first scan, leaves once it has been missing from two scans
// in a row, and changes when its address answers with another MAC.
class Watch
{
public:
    struct Event
    {
        QString kind; // "appeared", "left" or "mac-changed"
        quint32 key;
        HostRecord record;
        std::vector<unsigned char> previousMac; // for "mac-changed"
    };
    std::vector<Event> Update(const HostMap &scan);

private:
    struct Known
    {
        HostRecord record;
        int misses = 0;
    };
    std::map<quint32, Known> known;
};

// Scans network every RescanPeriodSecs and writes each change to out as one
// line of JSON, until a stop signal or until nobody reads out. Returns the
// exit status; sets *abandoned as Run does.
int RunWatch(const NetworkChoice &network, const MakerIndex &makers, std::FILE *out,
             std::FILE *progress, bool *abandoned);

} // namespace lister
