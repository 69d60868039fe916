#pragma once

#include "makers/makerlookup.h"
#include "results/commentstore.h"
#include "scan/hostrecord.h"

#include <QString>

#include <vector>

// One host as the front ends show it: a row of the window's table, a line
// of trelvan-list. Made here only, so that both show the same things. A new
// piece of a host is a new field here, filled in MakeHostRow; each front end
// then shows it or not.
struct HostRow
{
    quint32 key = 0; // the host's key in the HostMap
    QString ip;      // "192.168.1.20"
    QString mac;     // "00:1A:2B:3C:4D:5E", also the key of the comments
    QString comment; // the user's comment on this MAC, or empty
    // The card's maker as the listings name it, without the blanks some of
    // their lines end with; "(adresse locale)" for a locally administered
    // address, or empty. What every front end shows and writes.
    QString maker;
    // The same name as its listing writes it, trailing blanks and all: the
    // window's maker cell shows it so.
    QString listedMaker;
    // For a locally administered address: what such an address is.
    QString makerToolTip;
    QString name;     // the one name shown (ShownName), or empty
    HostNames names;  // each source's answer
    bool web = false; // port 80 accepted a connection
    // What "Connecter" opens: the host's web root, "http://192.168.1.20/"
    // when port 80 accepted, else "https://192.168.1.20/" when port 443 did;
    // empty when neither did (no button).
    QString webAddress;
    // Where it answered, for a front end that shows several networks: the
    // network ("198.51.100.0/24") and the interface ("eth0"); empty when
    // not given.
    QString network;
    QString interfaceName;
    // What the device is (type, model, friendly name, evidence), as its
    // record carries it.
    identify::Identity identity;
    // The host's IPv6 addresses, link-local first ("fe80::1"); empty when
    // none is known.
    QStringList ipv6;
};

// Where the hosts of one scan answered (HostRow's network and interface).
struct HostPlace
{
    QString network;
    QString interfaceName;
};

// The row of one host.
HostRow MakeHostRow(quint32 key, const HostRecord &record, const CommentMap &comments,
                    const MakerIndex &makers, const HostPlace &place = {});

// The rows of every host, in address order (KeysInAddressOrder).
std::vector<HostRow> MakeHostRows(const HostMap &hosts, const CommentMap &comments,
                                  const MakerIndex &makers, const HostPlace &place = {});
