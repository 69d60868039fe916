#include "publish/homeassistant.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace publish {

namespace {

constexpr qsizetype MaxAgentLength = 64;
constexpr qsizetype MaxTextLength = 256;

// Text from the network or the user, bounded and without control
// characters; the JSON writer escapes the rest.
QString Clean(const QString &text)
{
    QString clean;
    for (const QChar c : text.left(MaxTextLength)) {
        if (c.category() != QChar::Other_Control && c.category() != QChar::Separator_Line &&
            c.category() != QChar::Separator_Paragraph)
            clean += c;
    }
    return clean.trimmed();
}

// ISO 8601 in local time with its offset; null for no time.
QJsonValue Time(qint64 msecsSinceEpoch)
{
    if (msecsSinceEpoch == 0)
        return QJsonValue::Null;
    QDateTime time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    time.setOffsetFromUtc(time.offsetFromUtc());
    return time.toString(Qt::ISODate);
}

QByteArray Compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray DeviceTopic(const QString &agent, const QByteArray &digits, const char *leaf)
{
    return "trelvan/" + agent.toLatin1() + '/' + digits + '/' + leaf;
}

QByteArray DiscoveryTopic(const QString &agent, const QByteArray &digits)
{
    return "homeassistant/device_tracker/trelvan_" + agent.toLatin1() + '_' + digits + "/config";
}

// "aa:bb:cc:dd:ee:ff", as Home Assistant writes a MAC connection.
QString ColonMac(const QByteArray &digits, bool upper)
{
    QString text;
    for (int i = 0; i < 12; i += 2) {
        if (i)
            text += QLatin1Char(':');
        text += QString::fromLatin1(digits.mid(i, 2));
    }
    return upper ? text.toUpper() : text;
}

} // namespace

QString AgentName(const QString &wanted)
{
    QString name;
    bool any = false;
    for (const QChar c : wanted.left(MaxAgentLength)) {
        const char latin = c.toLower().toLatin1();
        const bool alnum = (latin >= 'a' && latin <= 'z') || (latin >= '0' && latin <= '9');
        any = any || alnum;
        name += alnum || latin == '-' || latin == '_' ? QLatin1Char(latin) : QLatin1Char('_');
    }
    return any ? name : QString();
}

QByteArray MacDigits(const QString &mac)
{
    QByteArray digits;
    const QStringList parts =
        mac.split(mac.contains(QLatin1Char('-')) ? QLatin1Char('-') : QLatin1Char(':'));
    if (parts.size() != 6)
        return {};
    for (const QString &part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 16);
        if (part.size() != 2 || !ok || value > 0xff)
            return {};
        digits += part.toLower().toLatin1();
    }
    return digits;
}

QByteArray MacDigits(const std::vector<unsigned char> &mac)
{
    if (mac.size() != 6)
        return {};
    return QByteArray(reinterpret_cast<const char *>(mac.data()), 6).toHex();
}

QString DisplayName(const Device &device)
{
    for (const QString &text : {device.row.comment, device.row.name}) {
        if (!Clean(text).isEmpty())
            return Clean(text);
    }
    const QString mac = ColonMac(MacDigits(device.seen.record.mac), true);
    const QString maker = Clean(device.row.maker);
    return maker.isEmpty() ? mac : maker + QLatin1Char(' ') + mac.right(8);
}

QByteArray StatusTopic(const QString &agent)
{
    return "trelvan/" + agent.toLatin1() + "/status";
}

QByteArray EventTopic(const QString &agent)
{
    return "trelvan/" + agent.toLatin1() + "/event";
}

std::vector<Message> DeviceMessages(const QString &agent, const Device &device)
{
    const QByteArray digits = MacDigits(device.seen.record.mac);
    if (digits.isEmpty() || AgentName(agent) != agent)
        return {};
    const HostRow &row = device.row;
    const QByteArray stateTopic = DeviceTopic(agent, digits, "state");
    const QByteArray attributesTopic = DeviceTopic(agent, digits, "attributes");
    const QString name = DisplayName(device);

    // Every card of the device, this one first.
    QJsonArray connections{QJsonArray{QStringLiteral("mac"), ColonMac(digits, false)}};
    for (const presence::Mac &card : device.seen.macs)
        if (card != device.seen.record.mac)
            connections.append(QJsonArray{QStringLiteral("mac"), ColonMac(MacDigits(card), false)});
    QJsonObject about{{QStringLiteral("connections"), connections}, {QStringLiteral("name"), name}};
    // The maker the device names itself, else its card's; its model; only
    // what is known.
    const identify::Identity &identity = row.identity;
    const QString manufacturer =
        Clean(identity.manufacturer).isEmpty() ? Clean(row.maker) : Clean(identity.manufacturer);
    if (!manufacturer.isEmpty())
        about.insert(QStringLiteral("manufacturer"), manufacturer);
    if (!Clean(identity.model).isEmpty())
        about.insert(QStringLiteral("model"), Clean(identity.model));
    const QJsonObject discovery{
        {QStringLiteral("unique_id"),
         QStringLiteral("trelvan_%1_%2").arg(agent, QString::fromLatin1(digits))},
        {QStringLiteral("name"), name},
        {QStringLiteral("state_topic"), QString::fromLatin1(stateTopic)},
        {QStringLiteral("json_attributes_topic"), QString::fromLatin1(attributesTopic)},
        {QStringLiteral("source_type"), QStringLiteral("router")},
        {QStringLiteral("payload_home"), QStringLiteral("home")},
        {QStringLiteral("payload_not_home"), QStringLiteral("not_home")},
        {QStringLiteral("availability_topic"), QString::fromLatin1(StatusTopic(agent))},
        {QStringLiteral("device"), about}};
    QJsonObject attributes{{QStringLiteral("mac"), ColonMac(digits, true)},
                           {QStringLiteral("ip"), Clean(row.ip)},
                           {QStringLiteral("network"), Clean(row.network)},
                           {QStringLiteral("interface"), Clean(row.interfaceName)},
                           {QStringLiteral("name"), Clean(row.name)},
                           {QStringLiteral("maker"), Clean(row.maker)},
                           {QStringLiteral("comment"), Clean(row.comment)},
                           {QStringLiteral("first_seen"), Time(device.seen.firstSeen)},
                           {QStringLiteral("last_seen"), Time(device.seen.lastSeen)}};
    if (identity.type != identify::DeviceType::Unknown)
        attributes.insert(QStringLiteral("type"), QString::fromLatin1(TypeKey(identity.type)));
    QJsonArray ipv6;
    for (const QString &address : row.ipv6.mid(0, presence::MaxIpv6))
        if (!Clean(address).isEmpty())
            ipv6.append(Clean(address));
    if (!ipv6.isEmpty())
        attributes.insert(QStringLiteral("ipv6"), ipv6);
    return {{DiscoveryTopic(agent, digits), Compact(discovery)},
            {stateTopic, device.seen.present ? QByteArray("home") : QByteArray("not_home")},
            {attributesTopic, Compact(attributes)}};
}

std::vector<Message> ForgetMessages(const QString &agent, const QString &mac)
{
    const QByteArray digits = MacDigits(mac);
    if (digits.isEmpty() || AgentName(agent) != agent)
        return {};
    return {{DiscoveryTopic(agent, digits), {}},
            {DeviceTopic(agent, digits, "state"), {}},
            {DeviceTopic(agent, digits, "attributes"), {}}};
}

} // namespace publish
