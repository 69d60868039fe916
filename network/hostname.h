#pragma once

#include "network/namerule.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QObject>
#include <QString>

#include <memory>

class QEventLoop;

// The reverse lookup of one address through the system's resolver
// (QHostInfo: /etc/hosts, DNS, mDNS, whatever the system's name service
// consults). Construction starts it; it runs in Qt's own worker threads
// while the caller does other work, and Wait collects the answer. The caller
// must be a QThread (the answer arrives as an event to it).
class ReverseLookup
{
public:
    explicit ReverseLookup(const QString &asked);
    ~ReverseLookup();
    ReverseLookup(const ReverseLookup &) = delete;
    ReverseLookup &operator=(const ReverseLookup &) = delete;

    // The answer, waiting until at most timeoutMs after the start; a lookup
    // not answered by then is abandoned and reported as an error.
    QHostInfo Wait(int timeoutMs);

    // Answers every later lookup at once in place of the resolver (tests put
    // a fake here, so that no query ever leaves the process); nullptr
    // restores the system's. Returns the previous one.
    using Function = QHostInfo (*)(const QString &address);
    static Function SetFunction(Function function);

private:
    QString address;
    QElapsedTimer sinceStart;
    std::unique_ptr<QObject> context; // receives the answer
    QHostInfo answer;
    bool answered = false;
    int id = -1;
    QEventLoop *waiting = nullptr; // while Wait runs
};

// The name in a lookup's answer, or empty text: the resolver gives the
// address back as text when it knows no name, and a name that breaks the
// rule of network/namerule.h is dropped (AcceptedName).
QString NameOf(const QHostInfo &answer, const QString &address);

// The name when it keeps the rule of network/namerule.h, else empty text:
// a name that breaks it is dropped, with one trelvan.names debug line
// naming its source ("DNS", "mDNS", "NetBIOS"), the host's address and why.
QString AcceptedName(const QString &name, const char *source, const QString &address);
// That debug line, for a reader that dropped the name itself.
void NoteRefusedName(const char *source, const QString &address, namerule::NameFault fault);

// A host's name as each source gave it; empty where a source gave none.
struct HostNames
{
    QString dns;     // the system's resolver, as given ("nas.example.org")
    QString mdns;    // multicast DNS, as given ("epson-bureau.local")
    QString netbios; // the NetBIOS workstation name ("PC-DE-LEA")
};
bool operator==(const HostNames &a, const HostNames &b);
bool operator!=(const HostNames &a, const HostNames &b);

// The one name to show: the host's multicast DNS name, else its DNS name,
// else its NetBIOS name, without a trailing ".local".
QString ShownName(const HostNames &names);
