#pragma once

#include "lister/lister.h"
#include "network/ipv4network.h"
#include "results/hostrow.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace lister {

// The network a RÉSEAU argument names, among the machine's own: an interface
// ("eth0"), ADRESSE/PRÉFIXE ("192.168.1.10/24", the network's address also
// counts) or the picker's text ("192.168.1.10 / 255.255.255.0"); empty
// text means the picker's first entry. On a refusal, error holds a one-line
// French message and status the exit status.
struct NetworkChoice
{
    Ipv4Network network; // its gateway not read yet: a scan reads it as it begins
    QString error;
    ExitStatus status = Success;
};
NetworkChoice ChooseNetwork(const QString &argument);

// The networks of a run: those the RÉSEAU arguments name (each as
// ChooseNetwork takes it; the picker's text may also come as three words),
// and with every (--tous) those of the machine (MachineNetworks: all but
// the virtual ones), each network once, in the order given, then the
// machine's. No argument and not every: the picker's first network. A
// network too wide to scan is refused when named, left out with a note when
// every brings it.
struct NetworkChoices
{
    std::vector<Ipv4Network> networks;
    QStringList notes; // for standard error
    QString error;
    ExitStatus status = Success;
};
NetworkChoices ChooseNetworks(const QStringList &arguments, bool every);
// Adds the machine's networks that choices does not hold yet, as every does.
void AddMachineNetworks(NetworkChoices &choices);

// The place the hosts of a network are listed under.
HostPlace PlaceOf(const Ipv4Network &network);

} // namespace lister
