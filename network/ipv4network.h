#pragma once

#include <QHostAddress>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <optional>

// One IPv4 network of this machine, as the picker shows it and a scan walks
// it: the machine's own address on it, its netmask, the interface that holds
// it and the gateway the machine reaches beyond it by. The gateway's card is
// the scan's business, not the network's.
struct Ipv4Network
{
    QHostAddress ip;       // the machine's address on the network
    QHostAddress netmask;  // 255.255.255.0
    QString interfaceName; // "eth0"; empty where the system does not say
    quint32 gateway = 0;   // host order; 0 when it has none or it was not read

    // Both addresses are IPv4: a network the scan can walk.
    bool IsIpv4() const;
    // The netmask's one bits: 24 for 255.255.255.0.
    int PrefixLength() const;
    // "198.51.100.0/24": the network's own address and its prefix length.
    QString Cidr() const;
    // "198.51.100.1/24": the machine's address and the prefix length.
    QString AddressWithPrefix() const;
    // "198.51.100.1 / 255.255.255.0": the picker's entry.
    QString EntryText() const;
    // The same addresses: the same netmask and network address.
    bool SameNetwork(const Ipv4Network &other) const;
};
Q_DECLARE_METATYPE(Ipv4Network)

// "198.51.100.0/24" of an address and its netmask (host order).
QString CidrText(quint32 address, quint32 netmask);

// An IPv4 address in dotted decimal, four numbers of 0 to 255 and nothing
// else ("198.51.100.7"), in host order; nothing for any other text.
std::optional<quint32> ParseIpv4(const QString &text);

// An address and a netmask (host order) as a network's text gives them:
// ADRESSE/PRÉFIXE ("198.51.100.1/24"), ADRESSE/MASQUE or the picker's entry
// ("198.51.100.1 / 255.255.255.0"), blanks around the slash allowed. A mask
// is ones, then zeros; a prefix is one or two digits, 32 at most. Nothing
// for any other text (an interface's name among them).
struct AddressAndMask
{
    quint32 address = 0;
    quint32 netmask = 0;
};
std::optional<AddressAndMask> ParseNetworkText(const QString &text);
