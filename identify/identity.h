#pragma once

// What a device is, from what it said of itself and what the program knows
// of its address: its type by the rules of typerules.cpp, with the evidence
// that decided it, its model and the name its owner gave it. Pure
// functions over values.

#include "identify/devicetype.h"
#include "identify/dnssd.h"
#include "identify/upnpdescription.h"
#include "identify/webhead.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace identify {

// One piece of evidence: where it came from ("mdns", "upnp", "web",
// "maker", "gateway", "self") and what it said ("_ipp._tcp",
// "urn:schemas-upnp-org:device:Printer:1", a title...).
struct Evidence
{
    QString source;
    QString detail;
    bool operator==(const Evidence &other) const
    {
        return source == other.source && detail == other.detail;
    }
};

// Everything learnt of one host.
struct Findings
{
    dnssd::HostServices dnssd;
    upnp::Device upnp;
    web::PageHead page;
    // The card's maker from the program's own listing, if known.
    QString maker;
    bool gateway = false;
    bool thisMachine = false;
};

constexpr int kMaxInstances = 8;

struct Identity
{
    DeviceType type = DeviceType::Unknown;
    // The evidence for the type, strongest first; empty for Unknown.
    QList<Evidence> evidence;
    QString model;
    QString friendlyName;
    // The maker its UPnP description names, where it gave one.
    QString manufacturer;
    // The host's DNS-SD service types.
    QStringList services;
    bool thisMachine = false;
    // What tells the device again, as the host itself announced it: its
    // services' instance names (each once, at most kMaxInstances) and its
    // UPnP description's UDN.
    QStringList instances;
    QString udn;
};

Identity Identify(const Findings &findings);

// The type as a row shows it: "cet ordinateur" for the machine's own,
// else the type's label, capitalised ("Imprimante").
QString ShownType(const Identity &identity);

// "Imprimante — HP OfficeJet Pro 9010, d'après : mDNS _ipp._tcp, UPnP": the
// type, the model, the friendly name where it says more than the model, and
// the sources of the evidence (the device's own words first). Plain text: whoever shows it must not
// read it as markup. Empty when nothing is known.
QString Tooltip(const Identity &identity);

} // namespace identify
