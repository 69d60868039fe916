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

// Text for a terminal: a C0 or C1 control, DEL, a line or paragraph
// separator or a mark that reorders text is written as an escape of its code
// ("\x1B", "\u202E"), so that a comment or a name can neither move the
// cursor, change colours nor turn the line around. Line breaks and tabs,
// which a comment may hold, become one blank.
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

QString FormatText(const std::vector<HostRow> &hosts, bool terminal)
{
    std::vector<QStringList> rows;
    rows.push_back({QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                    QStringLiteral("Site web ?"), QStringLiteral("Nom")});
    for (const HostRow &host : hosts)
        rows.push_back({TerminalText(host.comment), host.ip, host.mac,
                        TerminalText(host.maker.trimmed()), WebText(host),
                        TerminalText(host.name)});
    std::vector<int> widths(rows.front().size(), 0);
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
    const auto field = [](const QString &text) {
        static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
        const QString value = SpreadsheetText(text);
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
