#pragma once

#include "lister/lister.h"

#include <QHostAddress>
#include <QString>

namespace lister {

// The network a RÉSEAU argument names, among the machine's own: an interface
// ("eth0"), ADRESSE/PRÉFIXE ("192.168.1.10/24", the network's address also
// counts) or the picker's text ("192.168.1.10 / 255.255.255.0"); empty
// text means the picker's first entry. On a refusal, error holds a one-line
// French message and status the exit status.
struct NetworkChoice
{
    QHostAddress address;
    QHostAddress netmask;
    QString interfaceName; // "eth0"; empty where the system does not say
    QString error;
    ExitStatus status = Success;
};
NetworkChoice ChooseNetwork(const QString &argument);

} // namespace lister
