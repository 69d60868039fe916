#include "lister/networkchoice.h"

#include "lister/terminal.h"
#include "network/networklist.h"
#include "platform/netmask.h"
#include "presence/store.h"
#include "scan/scanrules.h"

#include <QRegularExpression>

#include <algorithm>

namespace lister {

namespace {

QString CidrText(const NetworkAddress &network)
{
    return QStringLiteral("%1/%2")
        .arg(network.ip.toString())
        .arg(platform::PrefixLength(network.netmask.toIPv4Address()));
}

QString NetworksText(const QList<NetworkAddress> &networks)
{
    QStringList texts;
    for (const NetworkAddress &network : networks)
        texts.append(network.interfaceName.isEmpty()
                         ? CidrText(network)
                         : QStringLiteral("%1 (%2)").arg(CidrText(network), network.interfaceName));
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
    choice.address = network.ip;
    choice.netmask = network.netmask;
    choice.interfaceName = network.interfaceName;
    choice.cidr = presence::CidrText(network.ip.toIPv4Address(), network.netmask.toIPv4Address());
    return choice;
}

QString TooWide(const NetworkAddress &network)
{
    return QStringLiteral("le réseau %1 compte %2 adresses, plus que les %3 que Trelvan parcourt")
        .arg(CidrText(network))
        .arg(AddressCount(network.netmask))
        .arg(MaxScanAddresses);
}

bool Holds(const NetworkChoices &choices, const NetworkChoice &network)
{
    return std::any_of(choices.networks.begin(), choices.networks.end(),
                       [&network](const NetworkChoice &held) { return held.cidr == network.cidr; });
}

bool ParseIPv4(const QString &text, quint32 &value)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = dotted.match(text);
    if (!match.hasMatch())
        return false;
    value = 0;
    for (int i = 1; i <= 4; ++i) {
        const uint octet = match.captured(i).toUInt();
        if (octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    return true;
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
        quint32 bareAddress = 0;
        if (!interfaceName.match(text).hasMatch() || ParseIPv4(text, bareAddress))
            return Refuse(unreadable.arg(Quoted(argument)));
        for (const NetworkAddress &network : networks)
            if (network.interfaceName == text)
                return Chosen(network);
        return notFound(
            QStringLiteral("interface inconnue ou sans réseau IPv4 %1").arg(Quoted(text)));
    }

    const QString addressText = text.left(slash).trimmed();
    const QString maskText = text.mid(slash + 1).trimmed();
    quint32 address = 0, mask = 0;
    bool readable = ParseIPv4(addressText, address);
    if (readable && maskText.contains(QLatin1Char('.'))) {
        // A mask is ones, then zeros.
        readable = ParseIPv4(maskText, mask) && (~mask & (~mask + 1)) == 0;
    } else if (readable) {
        static const QRegularExpression digits(QStringLiteral("^\\d{1,2}$"));
        const int prefix = maskText.toInt();
        readable = digits.match(maskText).hasMatch() && prefix <= 32;
        mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    }
    if (!readable)
        return Refuse(unreadable.arg(Quoted(argument)));

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
        if (!Holds(choices, network))
            choices.networks.push_back(network);
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
        const NetworkChoice chosen = Chosen(network);
        if (Holds(choices, chosen))
            continue;
        if (TooWideToScan(network.netmask))
            choices.notes.append(QStringLiteral("%1 : laissé de côté.").arg(TooWide(network)));
        else
            choices.networks.push_back(chosen);
    }
}

HostPlace PlaceOf(const NetworkChoice &network)
{
    return {network.cidr, network.interfaceName};
}

} // namespace lister
