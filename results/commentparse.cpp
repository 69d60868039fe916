// Reading the comments file: the INI text the settings store writes, taken
// apart by hand so that no value is ever decoded as a typed one.
#include "results/commentfile.h"

#include <QStringDecoder>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexValue(char16_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// UTF-8 text, a byte order mark kept as the character it is wherever it
// stands, so that text comes back from the file as it was written.
QString FromUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder(bytes);
}

QByteArrayView Trimmed(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (IsSpace(text[begin]) || text[begin] == '\v' || text[begin] == '\f'))
        ++begin;
    while (end > begin &&
           (IsSpace(text[end - 1]) || text[end - 1] == '\v' || text[end - 1] == '\f'))
        --end;
    return text.sliced(begin, end - begin);
}

// The next line of an INI text from pos on, past blank lines and comment
// lines (those starting with ';'). A line ends at a line break or a ';'
// outside double quotes; a backslash takes the character after it along, a
// line break included. equals is the offset in the line of its first '='
// outside quotes, or -1.
bool NextLine(QByteArrayView text, qsizetype &pos, QByteArrayView &line, qsizetype &equals)
{
    const qsizetype size = text.size();
    for (;;) {
        while (pos < size && IsSpace(text[pos]))
            ++pos;
        if (pos >= size || text[pos] != ';')
            break;
        while (pos < size && text[pos] != '\n' && text[pos] != '\r')
            ++pos;
    }
    if (pos >= size)
        return false;

    const qsizetype start = pos;
    bool quoted = false;
    equals = -1;
    qsizetype i = pos;
    while (i < size) {
        const char c = text[i];
        if ((c == '\n' || c == '\r' || c == ';') && !quoted)
            break;
        ++i;
        if (c == '=' && !quoted && equals < 0) {
            equals = i - 1 - start;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i < size) {
            const char escaped = text[i++];
            if (i < size &&
                ((escaped == '\n' && text[i] == '\r') || (escaped == '\r' && text[i] == '\n')))
                ++i;
        }
    }
    line = text.sliced(start, i - start);
    pos = i;
    return true;
}

// A key or section name as the file spells it: '\' stands for '/', %XX and
// %UXXXX for the character of that code.
QString UnescapeKey(QByteArrayView key)
{
    const QString text = FromUtf8(key);
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const char16_t c = text[i].unicode();
        if (c == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c == '%' && i + 1 < text.size()) {
            const bool wide = text[i + 1] == QLatin1Char('U');
            const qsizetype first = i + (wide ? 2 : 1);
            const int digits = wide ? 4 : 2;
            char16_t value = 0;
            bool ok = first + digits <= text.size();
            for (int n = 0; ok && n < digits; ++n) {
                const int digit = HexValue(text[first + n].unicode());
                ok = digit >= 0;
                value = char16_t(value * 16 + digit);
            }
            if (ok) {
                result += QChar(value);
                i = first + digits;
                continue;
            }
        }
        result += QChar(c);
        ++i;
    }
    return result;
}

char SimpleEscape(char c)
{
    switch (c) {
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    case '"':
    case '?':
    case '\'':
    case '\\':
        return c;
    default:
        return 0;
    }
}

// Characters that an escape made but that are no text (a lone half of a
// surrogate pair) would not come back alike from the file: they read as
// the replacement character, as they would once written.
QString Sanitized(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isSurrogate())
            return FromUtf8(text.toUtf8());
    }
    return text;
}

// A value as the file spells it: double quotes keep blanks and the
// characters ';', ',' and '=', backslash escapes as in C, blanks around an
// unquoted value dropped. A ',' outside quotes is part of the text.
QString UnescapeText(QByteArrayView value)
{
    QString result;
    result.reserve(value.size());
    const qsizetype size = value.size();
    qsizetype i = 0;
    bool quoted = false;
    bool everQuoted = false;
    qsizetype chopLimit = 0;
    const auto skipBlanks = [&] {
        while (i < size && IsBlank(value[i]))
            ++i;
    };
    skipBlanks();
    while (i < size) {
        const char c = value[i];
        if (c == '\\') {
            if (++i >= size)
                break;
            const char escaped = value[i++];
            if (const char simple = SimpleEscape(escaped)) {
                result += QLatin1Char(simple);
            } else if (escaped == 'x') {
                char16_t code = 0;
                bool any = false;
                while (i < size && HexValue(uchar(value[i])) >= 0) {
                    code = char16_t(code * 16 + HexValue(uchar(value[i++])));
                    any = true;
                }
                if (any)
                    result += QChar(code);
            } else if (escaped >= '0' && escaped <= '7') {
                char16_t code = char16_t(escaped - '0');
                while (i < size && value[i] >= '0' && value[i] <= '7')
                    code = char16_t(code * 8 + (value[i++] - '0'));
                result += QChar(code);
            } else if (escaped == '\n' || escaped == '\r') {
                if (i < size && (value[i] == '\n' || value[i] == '\r') && value[i] != escaped)
                    ++i;
            }
            // Any other character after a backslash goes with it.
            chopLimit = result.size();
        } else if (c == '"') {
            ++i;
            everQuoted = true;
            quoted = !quoted;
            if (!quoted) {
                skipBlanks();
                chopLimit = result.size();
            }
        } else {
            qsizetype end = i + 1;
            while (end < size && value[end] != '\\' && value[end] != '"')
                ++end;
            result += FromUtf8(value.sliced(i, end - i));
            i = end;
        }
    }
    if (!everQuoted) {
        while (result.size() > chopLimit &&
               (result.back() == QLatin1Char(' ') || result.back() == QLatin1Char('\t')))
            result.chop(1);
    }

    // The two forms a string value takes besides itself; any other "@..."
    // is taken as the text it is, never decoded.
    if (result.startsWith(QLatin1String("@@")))
        result.remove(0, 1);
    else if (result.startsWith(QLatin1String("@String(")) && result.endsWith(QLatin1Char(')')))
        result = result.mid(8, result.size() - 9);
    else if (result == QLatin1String("@Invalid()"))
        result.clear();
    return Sanitized(result);
}

// "00:1A:2B:3C:4D:5E": hexadecimal pairs in upper case joined by ':', as
// the hosts table shows a MAC address.
bool IsMacText(const QString &key)
{
    if (key.size() < 2 || (key.size() + 1) % 3 != 0)
        return false;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const char16_t c = key[i].unicode();
        const bool ok = i % 3 == 2 ? c == ':' : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!ok)
            return false;
    }
    return true;
}

// A key as it reads in the group: the MAC text a hand edit hid between
// slashes comes back as that MAC text, any other key stays as it is.
QString CommentKey(const QString &key)
{
    qsizetype begin = 0;
    qsizetype end = key.size();
    while (begin < end && key[begin] == QLatin1Char('/'))
        ++begin;
    while (end > begin && key[end - 1] == QLatin1Char('/'))
        --end;
    const QString inner = key.mid(begin, end - begin);
    return IsMacText(inner) ? inner : key;
}

// Whether a line of the file opens the group "Comments".
bool OpensCommentGroup(QByteArrayView line)
{
    qsizetype close = line.indexOf(']');
    if (close < 0)
        close = line.size();
    return UnescapeKey(Trimmed(line.sliced(1, close - 1))) == CommentsGroup;
}

} // namespace

CommentMap ParseCommentFile(QByteArrayView text)
{
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    CommentMap comments;
    bool inGroup = false;
    qsizetype pos = 0;
    QByteArrayView line;
    qsizetype equals;
    while (NextLine(text, pos, line, equals)) {
        if (line.startsWith('[')) {
            inGroup = OpensCommentGroup(line);
            continue;
        }
        if (!inGroup || equals < 0)
            continue;
        const QString key = UnescapeKey(Trimmed(line.first(equals)));
        comments[CommentKey(key)] = UnescapeText(line.sliced(equals + 1));
    }
    return comments;
}

QByteArray ReplaceCommentGroup(QByteArrayView text, QByteArrayView group)
{
    // Where each group's header line starts, and whether it is "Comments".
    std::vector<std::pair<qsizetype, bool>> headers;
    qsizetype pos = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    QByteArrayView line;
    qsizetype equals;
    while (NextLine(text, pos, line, equals)) {
        if (line.startsWith('['))
            headers.emplace_back(line.data() - text.data(), OpensCommentGroup(line));
    }

    QByteArray out;
    bool placed = false;
    const auto place = [&](bool more) {
        // After another group, a blank line, as QSettings leaves one.
        if (!group.isEmpty() && !Trimmed(out).isEmpty() && out != "\xEF\xBB\xBF") {
            if (!out.endsWith('\n'))
                out += '\n';
            if (!out.endsWith("\n\n"))
                out += '\n';
        }
        out += group;
        // QSettings leaves a blank line between groups.
        if (more && !group.isEmpty())
            out += '\n';
        placed = true;
    };
    out += text.first(headers.empty() ? text.size() : headers.front().first);
    for (std::size_t i = 0; i < headers.size(); ++i) {
        const qsizetype begin = headers[i].first;
        const qsizetype end = i + 1 < headers.size() ? headers[i + 1].first : text.size();
        if (!headers[i].second) {
            out += text.sliced(begin, end - begin);
        } else if (!placed) {
            const bool more = std::any_of(headers.begin() + std::ptrdiff_t(i) + 1, headers.end(),
                                          [](const auto &header) { return !header.second; });
            place(more);
        }
    }
    if (!placed)
        place(false);
    return out;
}
