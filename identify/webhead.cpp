#include "identify/webhead.h"

#include "identify/freetext.h"
#include "identify/httphead.h"

#include <QStringDecoder>

namespace identify::web {

namespace {

constexpr int kMaxReferenceLength = 10; // "&#x10FFFF;"

// The body of a chunked response as far as the data goes.
QByteArray Unchunked(const QByteArray &body)
{
    QByteArray out;
    qsizetype at = 0;
    while (at < body.size()) {
        const qsizetype end = body.indexOf('\n', at);
        if (end < 0)
            break;
        QByteArray sizeText = body.mid(at, end - at).trimmed();
        if (const qsizetype semicolon = sizeText.indexOf(';'); semicolon >= 0)
            sizeText.truncate(semicolon);
        bool ok = false;
        const qsizetype size = sizeText.size() <= 8 ? sizeText.toLongLong(&ok, 16) : -1;
        if (!ok || size <= 0)
            break;
        at = end + 1;
        out += body.mid(at, size);
        at += size;
        if (body.mid(at, 2) == "\r\n")
            at += 2;
        else if (body.mid(at, 1) == "\n")
            at += 1;
    }
    return out;
}

// The charset named after "charset=" in text, lower case, quotes aside.
QByteArray Charset(const QByteArray &text)
{
    const qsizetype at = text.toLower().indexOf("charset=");
    if (at < 0)
        return {};
    QByteArray rest = text.mid(at + 8, 40);
    while (rest.startsWith('"') || rest.startsWith('\''))
        rest.remove(0, 1);
    qsizetype end = 0;
    while (end < rest.size() &&
           (QChar::isLetterOrNumber(uchar(rest[end])) || rest[end] == '-' || rest[end] == '_'))
        ++end;
    return rest.left(end).toLower();
}

bool Latin1(const QByteArray &charset)
{
    return charset == "iso-8859-1" || charset == "latin1" || charset == "latin-1" ||
           charset == "windows-1252" || charset == "us-ascii" || charset == "ascii";
}

bool Utf8(const QByteArray &charset)
{
    return charset == "utf-8" || charset == "utf8";
}

// Index of the first case-insensitive `tag` ("<title") in text from `from`
// on that is followed by '>', '/' or white space; -1 when there is none.
qsizetype FindTag(const QByteArray &text, const char *tag, qsizetype from)
{
    const QByteArray lower = text.toLower();
    const qsizetype length = qsizetype(qstrlen(tag));
    for (qsizetype at = lower.indexOf(tag, from); at >= 0; at = lower.indexOf(tag, at + 1)) {
        if (at + length >= text.size())
            return -1;
        const char next = text[at + length];
        if (next == '>' || next == '/' || next == ' ' || (next >= 0x09 && next <= 0x0D))
            return at;
    }
    return -1;
}

} // namespace

QString DecodeReferences(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype at = 0; at < text.size(); ++at) {
        // The semicolon that ends a reference, looked for within the
        // longest one only, so that a run of ampersands costs no more than
        // its length.
        qsizetype semicolon = -1;
        for (qsizetype i = at + 1;
             text[at] == QLatin1Char('&') && i < text.size() && i <= at + kMaxReferenceLength; ++i)
            if (text[i] == QLatin1Char(';')) {
                semicolon = i;
                break;
            }
        if (semicolon < 0) {
            out += text[at];
            continue;
        }
        const QString name = text.mid(at + 1, semicolon - at - 1);
        QString decoded;
        if (name == QLatin1String("amp"))
            decoded = QStringLiteral("&");
        else if (name == QLatin1String("lt"))
            decoded = QStringLiteral("<");
        else if (name == QLatin1String("gt"))
            decoded = QStringLiteral(">");
        else if (name == QLatin1String("quot"))
            decoded = QStringLiteral("\"");
        else if (name == QLatin1String("apos"))
            decoded = QStringLiteral("'");
        else if (name == QLatin1String("nbsp"))
            decoded = QString(QChar(0xA0));
        else if (name.startsWith(QLatin1Char('#')) && name.size() > 1) {
            const bool hex = name[1] == QLatin1Char('x') || name[1] == QLatin1Char('X');
            const QString digits = name.mid(hex ? 2 : 1);
            bool ok = !digits.isEmpty();
            for (const QChar c : digits)
                ok = ok &&
                     (hex ? QStringLiteral("0123456789abcdefABCDEF").contains(c) : c.isDigit());
            const uint code = ok ? digits.toUInt(&ok, hex ? 16 : 10) : 0;
            if (ok && code > 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF)) {
                const char32_t utf32 = code;
                decoded = QString::fromUcs4(&utf32, 1);
            }
        }
        if (decoded.isEmpty()) {
            out += text[at];
            continue;
        }
        out += decoded;
        at = semicolon;
    }
    return out;
}

bool ParsePageHead(const QByteArray &response, PageHead *head)
{
    *head = PageHead();
    const QByteArray data = response.left(kMaxResponseBytes);
    HttpHead http;
    if (!ParseHttpHead(data, kMaxHeaders, &http))
        return false;
    head->status = http.status;
    head->server = CheckedText(http.Value("server"));
    const QByteArray encoding = http.Value("content-encoding").toLower();
    if (http.bodyAt < 0 || !(encoding.isEmpty() || encoding == "identity"))
        return true;
    QByteArray body = data.mid(http.bodyAt);
    if (http.Value("transfer-encoding").toLower().contains("chunked"))
        body = Unchunked(body);
    const qsizetype open = FindTag(body, "<title", 0);
    const qsizetype start = open < 0 ? -1 : body.indexOf('>', open);
    const qsizetype close = start < 0 ? -1 : FindTag(body, "</title", start);
    if (close < 0 || close - start - 1 > kMaxRawTitleBytes)
        return true;
    const QByteArray raw = body.mid(start + 1, close - start - 1);
    QByteArray charset = Charset(http.Value("content-type"));
    if (charset.isEmpty())
        charset = Charset(body.left(open));
    QString text;
    if (Latin1(charset)) {
        text = QString::fromLatin1(raw);
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder.decode(raw);
        if (decoder.hasError()) {
            if (Utf8(charset) || !charset.isEmpty())
                return true;
            text = QString::fromLatin1(raw);
        }
    }
    head->title = CollapsedText(DecodeReferences(text), kMaxTitleBytes);
    return true;
}

} // namespace identify::web
