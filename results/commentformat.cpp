// Writing the comments file: the text QSettings would write for the same
// string values, byte for byte.
#include "results/commentfile.h"

namespace {

void AppendKey(const QString &key, QByteArray &out)
{
    static const char digits[] = "0123456789ABCDEF";
    for (qsizetype i = 0; i < key.size(); ++i) {
        const char16_t c = key[i].unicode();
        // A backslash just before the '=' would take it along: a slash at
        // the end (only a key that a hand edit made has one) is spelt %2F.
        if (c == '/' && i + 1 < key.size()) {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xF];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += digits[(c >> shift) & 0xF];
        }
    }
}

bool IsHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void AppendText(const QString &comment, QByteArray &out)
{
    QString text = comment;
    if (text.contains(QChar::Null))
        text = QLatin1String("@String(") + text + QLatin1Char(')');
    else if (text.startsWith(QLatin1Char('@')))
        text.prepend(QLatin1Char('@'));

    const qsizetype start = out.size();
    bool needsQuotes = false;
    // After a numeric escape a hexadecimal digit would read as part of it.
    bool escapeDigits = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeDigits && IsHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeDigits = false;
        switch (c) {
        case '\0':
            out += "\\0";
            escapeDigits = true;
            break;
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1F) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeDigits = true;
            } else if (c < 0x80) {
                out += char(c);
            } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                       text[i + 1].isLowSurrogate()) {
                out += QStringView(text).sliced(i, 2).toUtf8();
                ++i;
            } else {
                out += QStringView(text).sliced(i, 1).toUtf8();
            }
        }
    }
    if (needsQuotes ||
        (out.size() > start && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

} // namespace

QByteArray FormatCommentFile(const CommentMap &comments)
{
    QByteArray out;
    if (comments.empty())
        return out;
    out += '[';
    AppendKey(QString(CommentsGroup), out);
    out += "]\n";
    for (const auto &[key, comment] : comments) {
        AppendKey(key, out);
        out += '=';
        AppendText(comment, out);
        out += '\n';
    }
    return out;
}
