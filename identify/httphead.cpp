#include "identify/httphead.h"

namespace identify {

namespace {

// A header name's characters (RFC 9110's token).
bool TokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArray("!#$%&'*+-.^_`|~").contains(c);
}

} // namespace

QByteArray HttpHead::Value(const char *name, bool *repeated) const
{
    QByteArray value;
    int count = 0;
    for (const auto &[key, text] : headers)
        if (key == name && count++ == 0)
            value = text;
    if (repeated)
        *repeated = count > 1;
    return value;
}

bool ParseHttpHead(const QByteArray &data, int maxHeaders, HttpHead *head)
{
    *head = HttpHead();
    qsizetype at = 0;
    // The next whole line without its end, or false at the end of the data.
    const auto nextLine = [&](QByteArray *line) {
        const qsizetype end = data.indexOf('\n', at);
        if (end < 0)
            return false;
        *line = data.mid(at, end - at);
        if (line->endsWith('\r'))
            line->chop(1);
        at = end + 1;
        return true;
    };
    QByteArray line;
    if (!nextLine(&line))
        return false;
    if (!(line.startsWith("HTTP/1.0 ") || line.startsWith("HTTP/1.1 ")) || line.size() < 12 ||
        (line.size() > 12 && line[12] != ' '))
        return false;
    for (int i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        head->status = head->status * 10 + (line[i] - '0');
    }
    if (head->status < 100)
        return false;
    while (nextLine(&line)) {
        if (line.isEmpty()) {
            head->bodyAt = at;
            return true;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || head->headers.size() == maxHeaders)
            return false;
        const QByteArray name = line.left(colon);
        for (const char c : name)
            if (!TokenChar(c))
                return false; // a folded line starts with white space, too
        head->headers.append({name.toLower(), line.mid(colon + 1).trimmed()});
    }
    return true;
}

} // namespace identify
