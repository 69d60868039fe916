#include "lister/networkchoice.h"

#include "lister/terminal.h"
#include "network/networklist.h"
#include "scan/scanrules.h"

#include <QRegularExpression>

#include <algorithm>

namespace lister {

namespace {

QString NetworksText(const QList<NetworkAddress> &networks)
{
    QStringList texts;
    for (const NetworkAddress &network : networks)
        texts.append(network.interfaceName.isEmpty()
                         ? network.AddressWithPrefix()
                         : QStringLiteral("%1 (%2)").arg(network.AddressWithPrefix(),
                                                         network.interfaceName));
    return texts.join(QStringLiteral(", "));
}

NetworkChoice Refuse(const QString &message, ExitStatus status = UsageError)
{
    NetworkChoice choice;
    choice.error = message;
    choice.status = status;
    return choice;
}

NetworkChoice Chosen(const NetworkAddress &network)
{
    NetworkChoice choice;
    choice.network = network;
    return choice;
}

QString TooWide(const NetworkAddress &network)
{
    return QStringLiteral("le réseau %1 compte %2 adresses, plus que les %3 que Trelvan parcourt")
        .arg(network.AddressWithPrefix())
        .arg(AddressCount(network.netmask))
        .arg(MaxScanAddresses);
}

bool Holds(const NetworkChoices &choices, const Ipv4Network &network)
{
    const QString cidr = network.Cidr();
    return std::any_of(choices.networks.begin(), choices.networks.end(),
                       [&cidr](const Ipv4Network &held) { return held.Cidr() == cidr; });
}

} // namespace

NetworkChoice ChooseNetwork(const QString &argument)
{
    const QList<NetworkAddress> networks = ScannableNetworks();
    const auto notFound = [&networks](const QString &message) {
        if (networks.isEmpty())
            return Refuse(QStringLiteral("cette machine n'a aucun réseau IPv4 à parcourir."),
                          ScanFailed);
        return Refuse(QStringLiteral("%1\u00a0; réseaux possibles\u00a0: %2.")
                          .arg(message, NetworksText(networks)));
    };
    const QString unreadable = QStringLiteral(
        "réseau illisible %1\u00a0; attendu une interface (eth0), ADRESSE/PRÉFIXE "
        "(192.168.1.10/24) ou «\u00a0ADRESSE / MASQUE\u00a0» (192.168.1.10 / 255.255.255.0).");

    const QString text = argument.simplified();
    if (text.isEmpty()) {
        if (networks.isEmpty())
            return notFound(QString());
        return Chosen(networks.front());
    }

    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        static const QRegularExpression interfaceName(QStringLiteral("^[A-Za-z0-9_.:@-]{1,15}$"));
        if (!interfaceName.match(text).hasMatch() || ParseIpv4(text))
            return Refuse(unreadable.arg(Quoted(argument)));
        for (const NetworkAddress &network : networks)
            if (network.interfaceName == text)
                return Chosen(network);
        return notFound(
            QStringLiteral("interface inconnue ou sans réseau IPv4 %1").arg(Quoted(text)));
    }

    const std::optional<AddressAndMask> parsed = ParseNetworkText(text);
    if (!parsed)
        return Refuse(unreadable.arg(Quoted(argument)));
    const quint32 address = parsed->address, mask = parsed->netmask;

    for (const NetworkAddress &network : networks) {
        const quint32 ip = network.ip.toIPv4Address();
        if (network.netmask.toIPv4Address() != mask || (address != ip && address != (ip & mask)))
            continue;
        if (TooWideToScan(network.netmask))
            return Refuse(TooWide(network) + QLatin1Char('.'));
        return Chosen(network);
    }
    return notFound(
        QStringLiteral("%1 n'est pas un réseau de cette machine").arg(Quoted(argument)));
}

NetworkChoices ChooseNetworks(const QStringList &arguments, bool every)
{
    NetworkChoices choices;
    QStringList named;
    for (int i = 0; i < arguments.size(); ++i) {
        // The picker's text given unquoted: three words around the slash.
        if (i + 2 < arguments.size() && arguments[i + 1] == QLatin1String("/")) {
            named.append(arguments.mid(i, 3).join(QLatin1Char(' ')));
            i += 2;
        } else {
            named.append(arguments[i]);
        }
    }
    if (named.isEmpty() && !every)
        named.append(QString());
    for (const QString &argument : named) {
        const NetworkChoice network = ChooseNetwork(argument);
        if (network.status != Success) {
            choices.error = network.error;
            choices.status = network.status;
            return choices;
        }
        if (!Holds(choices, network.network))
            choices.networks.push_back(network.network);
    }
    if (every) {
        AddMachineNetworks(choices);
        if (choices.networks.empty()) {
            choices.error = QStringLiteral("cette machine n'a aucun réseau IPv4 à parcourir, hors "
                                           "des réseaux virtuels.");
            choices.status = ScanFailed;
        }
    }
    return choices;
}

void AddMachineNetworks(NetworkChoices &choices)
{
    for (const NetworkAddress &network : MachineNetworks()) {
        const Ipv4Network chosen = Chosen(network).network;
        if (Holds(choices, chosen))
            continue;
        if (TooWideToScan(network.netmask))
            choices.notes.append(QStringLiteral("%1 : laissé de côté.").arg(TooWide(network)));
        else
            choices.networks.push_back(chosen);
    }
}

HostPlace PlaceOf(const Ipv4Network &network)
{
    return {network.Cidr(), network.interfaceName};
}

} // namespace lister
