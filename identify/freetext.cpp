#include "identify/freetext.h"

#include <string_view>

namespace identify {

namespace {

bool Acceptable(const QByteArray &utf8, std::size_t maxBytes)
{
    const std::string_view view(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    return namerule::CheckText(view, maxBytes) == namerule::NameFault::None;
}

} // namespace

QString CheckedText(const QByteArray &utf8, std::size_t maxBytes)
{
    return Acceptable(utf8, maxBytes) ? QString::fromUtf8(utf8) : QString();
}

QString CollapsedText(const QString &text, std::size_t maxBytes)
{
    QString collapsed;
    collapsed.reserve(text.size());
    bool space = false;
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == ' ' || (code >= 0x09 && code <= 0x0D) || code == 0xA0) {
            space = !collapsed.isEmpty();
            continue;
        }
        if (space)
            collapsed += QLatin1Char(' ');
        space = false;
        collapsed += c;
    }
    QByteArray utf8 = collapsed.toUtf8();
    if (static_cast<std::size_t>(utf8.size()) > maxBytes) {
        // Back to the first byte of the character that crosses the bound.
        qsizetype end = static_cast<qsizetype>(maxBytes);
        while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        utf8.truncate(end);
        while (utf8.endsWith(' '))
            utf8.chop(1);
    }
    return CheckedText(utf8, maxBytes);
}

} // namespace identify
