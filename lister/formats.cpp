#include "lister/formats.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace lister {

namespace {

// "oui" for a web server on port 80, "https" for one on port 443 only.
QString WebText(const HostRow &host)
{
    if (host.web)
        return QStringLiteral("oui");
    return host.webAddress.isEmpty() ? QStringLiteral("non") : QStringLiteral("https");
}

} // namespace

QString OneLine(const QString &text)
{
    QString line = text;
    line.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
    return line;
}

QString AlignedTable(const std::vector<QStringList> &rows, bool terminal)
{
    std::vector<int> widths(std::size_t(rows.front().size()), 0);
    for (const QStringList &row : rows)
        for (int column = 0; column < row.size(); ++column)
            widths[std::size_t(column)] =
                std::max(widths[std::size_t(column)], int(row[column].size()));

    QString text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QString line;
        for (int column = 0; column < rows[i].size(); ++column) {
            if (column > 0)
                line += QStringLiteral("  ");
            line += rows[i][column].leftJustified(widths[std::size_t(column)]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        if (i == 0 && terminal)
            line = QStringLiteral("\x1b[1m%1\x1b[0m").arg(line);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString CsvTable(const std::vector<QStringList> &rows)
{
    const auto field = [](const QString &value) {
        static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
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

QString FormatText(const std::vector<HostRow> &hosts, bool terminal)
{
    std::vector<QStringList> rows;
    rows.push_back({QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                    QStringLiteral("Site web ?"), QStringLiteral("Nom")});
    // A comment may hold line breaks; a table row may not.
    for (const HostRow &host : hosts)
        rows.push_back({OneLine(host.comment), host.ip, host.mac, host.maker.trimmed(),
                        WebText(host), host.name});
    return AlignedTable(rows, terminal);
}

QString FormatCsv(const std::vector<HostRow> &hosts)
{
    std::vector<QStringList> rows{{QStringLiteral("comment"), QStringLiteral("ip"),
                                   QStringLiteral("mac"), QStringLiteral("maker"),
                                   QStringLiteral("web"), QStringLiteral("name"),
                                   QStringLiteral("url")}};
    for (const HostRow &host : hosts)
        rows.push_back({host.comment, host.ip, host.mac, host.maker.trimmed(),
                        host.web ? QStringLiteral("true") : QStringLiteral("false"), host.name,
                        host.webAddress});
    return CsvTable(rows);
}

QJsonObject ToJson(const HostRow &host)
{
    const QJsonObject names{{QStringLiteral("dns"), host.names.dns},
                            {QStringLiteral("mdns"), host.names.mdns},
                            {QStringLiteral("netbios"), host.names.netbios}};
    return QJsonObject{
        {QStringLiteral("comment"), host.comment}, {QStringLiteral("ip"), host.ip},
        {QStringLiteral("mac"), host.mac},         {QStringLiteral("maker"), host.maker.trimmed()},
        {QStringLiteral("web"), host.web},         {QStringLiteral("url"), host.webAddress},
        {QStringLiteral("name"), host.name},       {QStringLiteral("names"), names}};
}

QString FormatJson(const std::vector<HostRow> &hosts)
{
    QJsonArray array;
    for (const HostRow &host : hosts)
        array.append(ToJson(host));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString TimeText(qint64 msecsSinceEpoch)
{
    QDateTime time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    time.setOffsetFromUtc(time.offsetFromUtc());
    return time.toString(Qt::ISODate);
}

QString FormatHistory(const std::vector<HistoryRow> &rows, const QString &format, bool terminal)
{
    if (format == QLatin1String("json")) {
        QJsonArray array;
        for (const HistoryRow &row : rows)
            array.append(QJsonObject{{QStringLiteral("comment"), row.host.comment},
                                     {QStringLiteral("ip"), row.host.ip},
                                     {QStringLiteral("mac"), row.host.mac},
                                     {QStringLiteral("maker"), row.host.maker.trimmed()},
                                     {QStringLiteral("name"), row.host.name},
                                     {QStringLiteral("first_seen"), TimeText(row.firstSeen)},
                                     {QStringLiteral("last_seen"), TimeText(row.lastSeen)},
                                     {QStringLiteral("present"), row.present}});
        return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
    }
    if (format == QLatin1String("csv")) {
        std::vector<QStringList> lines{{QStringLiteral("comment"), QStringLiteral("ip"),
                                        QStringLiteral("mac"), QStringLiteral("maker"),
                                        QStringLiteral("name"), QStringLiteral("first_seen"),
                                        QStringLiteral("last_seen"), QStringLiteral("present")}};
        for (const HistoryRow &row : rows)
            lines.push_back({row.host.comment, row.host.ip, row.host.mac, row.host.maker.trimmed(),
                             row.host.name, TimeText(row.firstSeen), TimeText(row.lastSeen),
                             row.present ? QStringLiteral("true") : QStringLiteral("false")});
        return CsvTable(lines);
    }
    const auto shown = [](qint64 time) {
        return QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    };
    std::vector<QStringList> lines{{QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                                    QStringLiteral("Nom"), QStringLiteral("Vu la première fois"),
                                    QStringLiteral("Vu la dernière fois")}};
    for (const HistoryRow &row : rows)
        lines.push_back({OneLine(row.host.comment), row.host.ip, row.host.mac,
                         row.host.maker.trimmed(), row.host.name, shown(row.firstSeen),
                         row.present ? QStringLiteral("présent") : shown(row.lastSeen)});
    return AlignedTable(lines, terminal);
}

} // namespace lister
