#pragma once

// The rules that turn what a device says of itself into a type: data, in
// typerules.cpp, read and reviewed as a table. Each rule names the kind of
// clue it reads, a pattern, the type it points to and a rank; the strongest
// rule that some clue of a device matches gives its type, and between rules
// of one rank the first in the table wins.

#include "identify/devicetype.h"

#include <QString>

#include <cstddef>

namespace identify {

enum class Clue
{
    ThisMachine, // the machine's own address (pattern unused)
    Gateway,     // the network's gateway (pattern unused)
    Txt,         // "<service type> <key>=<value>" of a DNS-SD TXT record
    Model,       // a model's text: TXT md=, ty=, model=, UPnP's modelName
    UpnpDevice,  // a UPnP deviceType ("urn:schemas-upnp-org:device:...")
    Service,     // a DNS-SD service type ("_ipp._tcp")
    Title,       // a web page's <title>
    Server,      // a web page's Server header
    Maker        // the card's maker, or UPnP's manufacturer
};

struct TypeRule
{
    Clue clue;
    // The whole text, in any case; '*' stands for any run of characters.
    const char *pattern;
    DeviceType type;
    int rank;
};

extern const TypeRule kTypeRules[];
extern const std::size_t kTypeRuleCount;

// Whether text matches pattern as the rules read it.
bool MatchesPattern(const QString &text, const char *pattern);

} // namespace identify
