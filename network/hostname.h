#pragma once

#include <QHostInfo>
#include <QString>

// The reverse lookup of one address through the system's resolver
// (QHostInfo: /etc/hosts, DNS, mDNS, whatever the system's name service
// consults). It blocks the calling thread, which must be a QThread, for at
// most timeoutMs; a lookup not answered by then is abandoned and reported as
// an error.
using ReverseLookupFunction = QHostInfo (*)(const QString &address, int timeoutMs);

QHostInfo ReverseLookup(const QString &address, int timeoutMs);

// Replaces the lookup for every later call (tests put a fake here, so that no
// query ever leaves the process); nullptr restores the system's. Returns the
// previous one.
ReverseLookupFunction SetReverseLookupFunction(ReverseLookupFunction function);

// The system's own lookup, whatever SetReverseLookupFunction installed.
QHostInfo SystemReverseLookup(const QString &address, int timeoutMs);

// The name in a lookup's answer, or empty text: the resolver gives the
// address back as text when it knows no name.
QString NameOf(const QHostInfo &answer, const QString &address);
