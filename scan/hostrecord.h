#pragma once

#include "identify/identity.h"
#include "network/hostname.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <map>
#include <utility>
#include <vector>

// What one scan learned about one host.
struct HostRecord
{
    HostRecord() = default;
    HostRecord(std::vector<unsigned char> hardwareAddress, bool answersWeb,
               QString hostName = QString())
        : mac(std::move(hardwareAddress)), webServer(answersWeb), name(std::move(hostName))
    {
    }

    // The hardware address exactly as the address resolution returned it:
    // as many bytes as it reported (6 for Ethernet), never padded or cut.
    std::vector<unsigned char> mac;
    // True when a TCP connection to port 80 was established in time.
    bool webServer = false;
    // The name to show (ShownName of names), empty when no source gave one
    // in time. Names are not part of the comparison: a name that comes and
    // goes with a slow answer must not rebuild the table.
    QString name;
    // True when port 80 did not accept but port 443 did, in the same time.
    bool secureWebServer = false;
    // Each source's answer.
    HostNames names;
    // another card that answered for this address in the same scan (only
    // where every reply is seen); empty otherwise
    std::vector<unsigned char> conflictMac;
    // What the card's device said it is, at its last identification (kept
    // per card, so a scan that asked nothing still carries it); Unknown with
    // no evidence until then. Not part of the comparison either: it comes
    // on a later tick than the scan that found the host.
    identify::Identity identity;
    // The host's IPv6 addresses, from the neighbour table and joined by MAC
    // (JoinIpv6): link-local first, at most a few. Not part of the
    // comparison either.
    QStringList ipv6;
};

// Same MAC bytes and same answers of ports 80 and 443; names are left out.
bool operator==(const HostRecord &a, const HostRecord &b);
bool operator!=(const HostRecord &a, const HostRecord &b);

// IPv4 address -> record. The key holds the four octets in network byte
// order, so the first octet is the key's lowest-addressed byte. The map is
// ordered by the key's native value: on a little-endian machine hosts of one
// /24 come in address order, but x.y.2.3 comes before x.y.1.5. What is shown
// goes by KeysInAddressOrder instead.
using HostMap = std::map<quint32, HostRecord>;

// The keys of hosts in address order, the order in which the hosts are
// shown: 198.51.100.9, 198.51.100.10, 198.51.101.0.
std::vector<quint32> KeysInAddressOrder(const HostMap &hosts);

// The key of an address given as a host-order number (QHostAddress's form).
quint32 HostKey(quint32 hostOrderAddress);
// The host-order number of a key (first octet most significant).
quint32 HostOrderAddress(quint32 key);
// "%0.%1.%2.%3" from the key's bytes in memory order: 192.168.1.20.
QString AddressText(quint32 key);

// Names answered over UDP may miss a scan now and then: for every host of
// latest that is in earlier at the same address with the same MAC, a source
// that gave no name now keeps the one it gave before, and the name shown
// follows. A source that answers with another name replaces it.
void KeepKnownNames(HostMap &latest, const HostMap &earlier);
