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

// Rows of several networks, each network under its name ("Réseau
// 198.51.100.0/24 (eth0)"), in the order they come; rows of one network only,
// as table makes them.
template <typename Row, typename Place, typename Table>
QString ByNetwork(const std::vector<Row> &rows, Place place, Table table, bool terminal)
{
    std::vector<std::vector<Row>> groups;
    for (const Row &row : rows) {
        if (groups.empty() || place(groups.back().front()).network != place(row).network)
            groups.emplace_back();
        groups.back().push_back(row);
    }
    if (groups.size() <= 1)
        return table(rows);
    QString text;
    for (const std::vector<Row> &group : groups) {
        const HostRow &first = place(group.front());
        QString title = QStringLiteral("Réseau %1").arg(first.network);
        if (!first.interfaceName.isEmpty())
            title += QStringLiteral(" (%1)").arg(TerminalText(first.interfaceName));
        if (terminal)
            title = QStringLiteral("\x1b[1m%1\x1b[0m").arg(title);
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + title + QLatin1Char('\n') +
                table(group);
    }
    return text;
}

} // namespace

QString TerminalText(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    bool blank = false;
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == '\r' || code == '\n' || code == '\t') {
            if (!blank)
                shown += QLatin1Char(' ');
            blank = true;
            continue;
        }
        blank = false;
        const auto hex = [code](int digits) {
            return QString::number(uint(code), 16)
                .toUpper()
                .rightJustified(digits, QLatin1Char('0'));
        };
        if (code < 0x20 || code == 0x7F)
            shown += QStringLiteral("\\x") + hex(2);
        else if ((code >= 0x80 && code < 0xA0) || code == 0x2028 || code == 0x2029 ||
                 (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
                 code == 0x200E || code == 0x200F || code == 0x061C)
            shown += QStringLiteral("\\u") + hex(4);
        else
            shown += c;
    }
    return shown;
}

QString OneLine(const QString &text)
{
    QString line = text;
    line.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
    return line;
}

QString AlignedTable(const std::vector<QStringList> &textRows, bool terminal)
{
    // Every cell as a terminal may show it, before the widths are measured.
    std::vector<QStringList> rows;
    for (const QStringList &row : textRows) {
        QStringList cells;
        for (const QString &cell : row)
            cells.append(TerminalText(cell));
        rows.push_back(cells);
    }
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

QString FormatText(const std::vector<HostRow> &hosts, bool terminal)
{
    std::vector<QStringList> rows;
    rows.push_back({QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                    QStringLiteral("Type"), QStringLiteral("Site web ?"), QStringLiteral("Nom")});
    // A comment may hold line breaks; a table row may not.
    for (const HostRow &host : hosts)
        rows.push_back({OneLine(host.comment), host.ip, host.mac, host.maker,
                        TypeText(host.identity), WebText(host), host.name});
    return AlignedTable(rows, terminal);
}

QString FormatTextByNetwork(const std::vector<HostRow> &hosts, bool terminal)
{
    return ByNetwork(
        hosts, [](const HostRow &host) -> const HostRow & { return host; },
        [terminal](const std::vector<HostRow> &group) { return FormatText(group, terminal); },
        terminal);
}

QString FormatCsv(const std::vector<HostRow> &hosts)
{
    std::vector<QStringList> rows{
        {QStringLiteral("comment"), QStringLiteral("ip"), QStringLiteral("mac"),
         QStringLiteral("maker"), QStringLiteral("web"), QStringLiteral("name"),
         QStringLiteral("url"), QStringLiteral("network"), QStringLiteral("interface"),
         QStringLiteral("type"), QStringLiteral("model")}};
    for (const HostRow &host : hosts)
        rows.push_back(QStringList{host.comment, host.ip, host.mac, host.maker,
                                   host.web ? QStringLiteral("true") : QStringLiteral("false"),
                                   host.name, host.webAddress, host.network, host.interfaceName} +
                       IdentityCsv(host.identity));
    return CsvText(rows);
}

QJsonObject ToJson(const HostRow &host)
{
    const QJsonObject names{{QStringLiteral("dns"), host.names.dns},
                            {QStringLiteral("mdns"), host.names.mdns},
                            {QStringLiteral("netbios"), host.names.netbios}};
    return QJsonObject{{QStringLiteral("comment"), host.comment},
                       {QStringLiteral("ip"), host.ip},
                       {QStringLiteral("mac"), host.mac},
                       {QStringLiteral("maker"), host.maker},
                       {QStringLiteral("web"), host.web},
                       {QStringLiteral("url"), host.webAddress},
                       {QStringLiteral("name"), host.name},
                       {QStringLiteral("names"), names},
                       {QStringLiteral("network"), host.network},
                       {QStringLiteral("interface"), host.interfaceName}};
}

QString FormatJson(const std::vector<HostRow> &hosts)
{
    QJsonArray array;
    for (const HostRow &host : hosts) {
        QJsonObject object = ToJson(host);
        AddIdentityJson(object, host.identity);
        // The list's rows only: the events keep their keys.
        object.insert(QStringLiteral("ipv6"), QJsonArray::fromStringList(host.ipv6));
        array.append(object);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString FormatHistory(const std::vector<HistoryRow> &rows, const QString &format, bool terminal)
{
    if (format == QLatin1String("json"))
        return HistoryJson(rows);
    if (format == QLatin1String("csv"))
        return HistoryCsv(rows);
    const auto shown = [](qint64 time) {
        return QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    };
    const auto table = [&shown, terminal](const std::vector<HistoryRow> &group) {
        std::vector<QStringList> lines{{QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                                        QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                                        QStringLiteral("Type"), QStringLiteral("Nom"),
                                        QStringLiteral("Vu la première fois"),
                                        QStringLiteral("Vu la dernière fois")}};
        for (const HistoryRow &row : group)
            lines.push_back({OneLine(row.host.comment), row.host.ip, row.host.mac, row.host.maker,
                             TypeText(row.host.identity), row.host.name, shown(row.firstSeen),
                             row.present ? QStringLiteral("présent") : shown(row.lastSeen)});
        return AlignedTable(lines, terminal);
    };
    return ByNetwork(
        rows, [](const HistoryRow &row) -> const HostRow & { return row.host; }, table, terminal);
}

} // namespace lister
