#include "results/listwriters.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

// A spreadsheet runs a field that begins with one of these as a formula;
// an apostrophe first makes it text, the usual neutralisation.
QString SpreadsheetText(const QString &value)
{
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    if (!value.isEmpty() && formulaStarts.contains(value.front()))
        return QLatin1Char('\'') + value;
    return value;
}

} // namespace

QString CsvText(const std::vector<QStringList> &rows)
{
    const auto field = [](const QString &text) {
        static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
        const QString value = SpreadsheetText(text);
        if (!value.contains(special))
            return value;
        QString quoted = value;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        return QStringLiteral("\"%1\"").arg(quoted);
    };
    QString text;
    for (const QStringList &row : rows) {
        QStringList fields;
        for (const QString &value : row)
            fields.append(field(value));
        text += fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return text;
}

QString TypeText(const identify::Identity &identity)
{
    if (identity.type == identify::DeviceType::Unknown && !identity.thisMachine)
        return {};
    return identify::ShownType(identity);
}

QStringList IdentityCsv(const identify::Identity &identity)
{
    return {QString::fromLatin1(identify::TypeKey(identity.type)), identity.model};
}

void AddIdentityJson(QJsonObject &object, const identify::Identity &identity)
{
    QJsonArray evidence;
    for (const identify::Evidence &said : identity.evidence)
        evidence.append(QJsonObject{{QStringLiteral("source"), said.source},
                                    {QStringLiteral("detail"), said.detail}});
    object.insert(QStringLiteral("type"), QString::fromLatin1(identify::TypeKey(identity.type)));
    object.insert(QStringLiteral("model"), identity.model);
    object.insert(QStringLiteral("friendly_name"), identity.friendlyName);
    object.insert(QStringLiteral("services"), QJsonArray::fromStringList(identity.services));
    object.insert(QStringLiteral("evidence"), evidence);
}

QString IsoTimeText(qint64 msecsSinceEpoch)
{
    QDateTime time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    time.setOffsetFromUtc(time.offsetFromUtc());
    return time.toString(Qt::ISODate);
}

QString HistoryCsv(const std::vector<HistoryRow> &rows)
{
    std::vector<QStringList> lines{
        {QStringLiteral("comment"), QStringLiteral("ip"), QStringLiteral("mac"),
         QStringLiteral("maker"), QStringLiteral("name"), QStringLiteral("first_seen"),
         QStringLiteral("last_seen"), QStringLiteral("present"), QStringLiteral("network"),
         QStringLiteral("interface"), QStringLiteral("type"), QStringLiteral("model"),
         QStringLiteral("macs"), QStringLiteral("ipv6")}};
    for (const HistoryRow &row : rows)
        lines.push_back(QStringList{row.host.comment, row.host.ip, row.host.mac, row.host.maker,
                                    row.host.name, IsoTimeText(row.firstSeen),
                                    IsoTimeText(row.lastSeen),
                                    row.present ? QStringLiteral("true") : QStringLiteral("false"),
                                    row.host.network, row.host.interfaceName} +
                        IdentityCsv(row.host.identity) +
                        QStringList{row.macs.join(u' '), row.host.ipv6.join(u' ')});
    return CsvText(lines);
}

QString HistoryJson(const std::vector<HistoryRow> &rows)
{
    QJsonArray array;
    for (const HistoryRow &row : rows) {
        QJsonObject object{{QStringLiteral("comment"), row.host.comment},
                           {QStringLiteral("ip"), row.host.ip},
                           {QStringLiteral("mac"), row.host.mac},
                           {QStringLiteral("maker"), row.host.maker},
                           {QStringLiteral("name"), row.host.name},
                           {QStringLiteral("first_seen"), IsoTimeText(row.firstSeen)},
                           {QStringLiteral("last_seen"), IsoTimeText(row.lastSeen)},
                           {QStringLiteral("present"), row.present},
                           {QStringLiteral("network"), row.host.network},
                           {QStringLiteral("interface"), row.host.interfaceName}};
        AddIdentityJson(object, row.host.identity);
        object.insert(QStringLiteral("macs"), QJsonArray::fromStringList(row.macs));
        object.insert(QStringLiteral("ipv6"), QJsonArray::fromStringList(row.host.ipv6));
        array.append(object);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}
