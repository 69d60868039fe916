#include "lister/formats.h"

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

QString FormatText(const std::vector<HostRow> &hosts, bool terminal)
{
    std::vector<QStringList> rows;
    rows.push_back({QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                    QStringLiteral("Site web ?"), QStringLiteral("Nom")});
    for (const HostRow &host : hosts) {
        // A comment may hold line breaks; a table row may not.
        QString comment = host.comment;
        comment.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
        rows.push_back(
            {comment, host.ip, host.mac, host.maker.trimmed(), WebText(host), host.name});
    }
    QList<int> widths(rows.front().size(), 0);
    for (const QStringList &row : rows)
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));

    QString text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QString line;
        for (int column = 0; column < rows[i].size(); ++column) {
            if (column > 0)
                line += QStringLiteral("  ");
            line += rows[i][column].leftJustified(widths[column]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        if (i == 0 && terminal)
            line = QStringLiteral("\x1b[1m%1\x1b[0m").arg(line);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString FormatCsv(const std::vector<HostRow> &hosts)
{
    const auto field = [](const QString &value) {
        static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
        if (!value.contains(special))
            return value;
        QString quoted = value;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        return QStringLiteral("\"%1\"").arg(quoted);
    };
    QString text = QStringLiteral("comment,ip,mac,maker,web,name,url\r\n");
    for (const HostRow &host : hosts)
        text += QStringList{field(host.comment),
                            host.ip,
                            host.mac,
                            field(host.maker.trimmed()),
                            host.web ? QStringLiteral("true") : QStringLiteral("false"),
                            field(host.name),
                            host.webAddress}
                    .join(QLatin1Char(',')) +
                QStringLiteral("\r\n");
    return text;
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

} // namespace lister
