#pragma once

// The network's Asker with its addresses and delays as options: the program
// takes the defaults (MakeNetworkAsker in asker.h); a test points the
// questions at responders of its own on loopback.

#include "identify/asker.h"
#include "identify/ssdp.h"

namespace identify {

struct NetworkAskerOptions
{
    // Where the DNS-SD questions go, and the port its answers come from.
    quint32 mdnsGroup = 0xE00000FBu; // 224.0.0.251, host order
    quint16 mdnsPort = 5353;
    // Where the M-SEARCH goes.
    quint32 ssdpGroup = ssdp::kGroup;
    quint16 ssdpPort = ssdp::kPort;
    // The web page's ports, plain and over TLS.
    quint16 webPort = 80;
    quint16 secureWebPort = 443;
    // The round's one deadline, and each page's or description's.
    int roundMs = kRoundDeadlineMs;
    int fetchMs = 1000;
};

std::unique_ptr<Asker> MakeNetworkAsker(const NetworkAskerOptions &options);

} // namespace identify
