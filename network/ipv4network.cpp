#include "network/ipv4network.h"

#include <QRegularExpression>

bool Ipv4Network::IsIpv4() const
{
    return ip.protocol() == QAbstractSocket::IPv4Protocol &&
           netmask.protocol() == QAbstractSocket::IPv4Protocol;
}

int Ipv4Network::PrefixLength() const
{
    return int(qPopulationCount(netmask.toIPv4Address()));
}

QString Ipv4Network::Cidr() const
{
    return CidrText(ip.toIPv4Address(), netmask.toIPv4Address());
}

QString Ipv4Network::AddressWithPrefix() const
{
    return QStringLiteral("%1/%2").arg(ip.toString()).arg(PrefixLength());
}

QString Ipv4Network::EntryText() const
{
    return QStringLiteral("%1 / %2").arg(ip.toString(), netmask.toString());
}

bool Ipv4Network::SameNetwork(const Ipv4Network &other) const
{
    const quint32 mask = netmask.toIPv4Address();
    return other.netmask.toIPv4Address() == mask &&
           (other.ip.toIPv4Address() & mask) == (ip.toIPv4Address() & mask);
}

QString CidrText(quint32 address, quint32 netmask)
{
    return QStringLiteral("%1/%2")
        .arg(QHostAddress(address & netmask).toString())
        .arg(qPopulationCount(netmask));
}

std::optional<quint32> ParseIpv4(const QString &text)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = dotted.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    quint32 value = 0;
    for (int i = 1; i <= 4; ++i) {
        const uint octet = match.captured(i).toUInt();
        if (octet > 255)
            return std::nullopt;
        value = (value << 8) | octet;
    }
    return value;
}

std::optional<AddressAndMask> ParseNetworkText(const QString &text)
{
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return std::nullopt;
    const std::optional<quint32> address = ParseIpv4(text.left(slash).trimmed());
    if (!address)
        return std::nullopt;
    const QString maskText = text.mid(slash + 1).trimmed();
    quint32 mask = 0;
    if (maskText.contains(QLatin1Char('.'))) {
        const std::optional<quint32> dotted = ParseIpv4(maskText);
        // A mask is ones, then zeros.
        if (!dotted || (~*dotted & (~*dotted + 1)) != 0)
            return std::nullopt;
        mask = *dotted;
    } else {
        static const QRegularExpression digits(QStringLiteral("^\\d{1,2}$"));
        const int prefix = maskText.toInt();
        if (!digits.match(maskText).hasMatch() || prefix > 32)
            return std::nullopt;
        mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    }
    return AddressAndMask{*address, mask};
}
