#pragma once

// DNS-SD over multicast DNS, asked as a "legacy unicast" query: sent to
// 224.0.0.251:5353 from an ephemeral port, it is answered by unicast to that
// port with the query's id echoed, so nothing binds port 5353. The builders
// make the questions; the reader takes what a response says, bounded in
// records per datagram and in name-compression hops; FromHost keeps what a
// host said about itself. Pure functions over bytes and values: no sockets.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace identify::dnssd {

// Records read from one datagram at most; the rest of it is left unread.
constexpr int kMaxRecords = 64;
// Compression pointers followed for one name. Each must point back in the
// message, so no chain can loop; a longer one is refused all the same.
constexpr int kMaxHops = 16;
// Key=value strings kept from one TXT record, and the record's bytes read.
constexpr int kMaxTxtPairs = 32;
constexpr int kMaxTxtBytes = 1300;
constexpr int kMaxTxtKeyBytes = 32;
// Questions in one query, and services kept for one host.
constexpr int kMaxQuestions = 16;
constexpr int kMaxServices = 32;

// A DNS name as its labels, each as the message carries it.
using Name = QList<QByteArray>;

// One key=value string of a TXT record: the key in lower case (printable
// ASCII), the value through the text rule; a key alone has an empty value.
struct TxtPair
{
    QByteArray key;
    QString value;
    bool operator==(const TxtPair &other) const { return key == other.key && value == other.value; }
};

// What one or more responses said, record by record, as read: nothing here
// is yet tied to the host that sent it. Service types in lower case without
// the domain ("_ipp._tcp").
struct Records
{
    // Targets of PTR records of _services._dns-sd._udp.local.
    QStringList serviceTypes;
    // PTR records of a service type: its instances' full names.
    QList<Name> instances;
    // SRV records: an instance, the host that serves it and its port.
    struct Service
    {
        Name instance;
        Name target;
        quint16 port = 0;
    };
    QList<Service> services;
    // TXT records of instances.
    struct Text
    {
        Name instance;
        QList<TxtPair> pairs;
    };
    QList<Text> texts;
    // A records: a host's name and its IPv4 address (host order).
    struct Address
    {
        Name host;
        quint32 address = 0;
    };
    QList<Address> addresses;
};

// "_services._dns-sd._udp.local", PTR: which service types are there.
QByteArray ServicesQuery(quint16 id);

// One PTR question per service type ("_ipp._tcp", well-formed ones only, at
// most kMaxQuestions): the instances of each. A responder adds the SRV, TXT
// and address records of each instance it names (RFC 6763, section 12), so
// one round answers all of them. Empty when no type is well-formed.
QByteArray InstancesQuery(const QStringList &serviceTypes, quint16 id);

// Reads a response to the query of id and adds what it understood to
// *records: service types, instances, SRV, TXT and A records of class IN,
// whose names are well-formed (a service type is "_name._tcp" or
// "_name._udp" in .local; an instance is one label before a service type; a
// host's name keeps the rule of network/namerule.h); other records are
// passed over. False, and nothing added, when the datagram is not a
// response, answers another id, carries an error code, or is cut short or
// malformed.
bool ParseResponse(const QByteArray &datagram, quint16 id, Records *records);

// One service that a host offers: its type, its instance name (text), its
// port and its TXT pairs.
struct Service
{
    QString type;
    QString instance;
    quint16 port = 0;
    QList<TxtPair> txt;

    // The value of key (lower case) in the TXT pairs, or an empty string.
    QString Txt(const char *key) const;
};

// What a host says of itself: its names (".local" ones, as text) and its
// services.
struct HostServices
{
    QStringList hostNames;
    QList<Service> services;

    bool isEmpty() const { return services.isEmpty(); }
    QStringList Types() const;
};

// From the records gathered from one source address, what describes that
// host: the names whose A record gives the source address, the services
// whose SRV target is one of those names (at most kMaxServices), with the
// TXT record of each. An A record that names another address, and all that
// hangs on it, is left out: a host speaks only for itself.
HostServices FromHost(const Records &gathered, quint32 source);

} // namespace identify::dnssd
