#include "network/namerule.h"

#include <cstdint>

namespace namerule {

namespace {

// The next code point of text from at on, strictly: no overlong form, no
// surrogate, nothing past U+10FFFF. False on anything else.
bool NextCodePoint(std::string_view text, std::size_t &at, char32_t *code)
{
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t first = byte(at);
    if (first < 0x80) {
        *code = first;
        ++at;
        return true;
    }
    // The length of the sequence, the bits of its first byte, and the
    // least code point that needs that length.
    std::size_t length = 4;
    char32_t value = first & 0x07u;
    char32_t least = 0x10000;
    if ((first & 0xE0) == 0xC0) {
        length = 2;
        value = first & 0x1Fu;
        least = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3;
        value = first & 0x0Fu;
        least = 0x800;
    } else if ((first & 0xF8) != 0xF0) {
        return false;
    }
    if (text.size() - at < length)
        return false;
    for (std::size_t i = 1; i < length; ++i) {
        const uint8_t next = byte(at + i);
        if ((next & 0xC0) != 0x80)
            return false;
        value = value << 6 | (next & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    *code = value;
    at += length;
    return true;
}

NameFault CodePointFault(char32_t code)
{
    if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029)
        return NameFault::Control;
    if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
        code == 0x200E || code == 0x200F || code == 0x061C)
        return NameFault::Bidirectional;
    if ((code >= 0x200B && code <= 0x200D) || code == 0x2060 || code == 0xFEFF || code == 0x180E)
        return NameFault::Invisible;
    return NameFault::None;
}

// One label of a name, dots aside.
NameFault CheckLabel(std::string_view label)
{
    if (label.empty())
        return NameFault::EmptyLabel;
    if (label.size() > kMaxLabelBytes)
        return NameFault::LongLabel;
    for (std::size_t at = 0; at < label.size();) {
        char32_t code = 0;
        if (!NextCodePoint(label, at, &code))
            return NameFault::InvalidUtf8;
        if (code == '.')
            return NameFault::DotInLabel;
        if (const NameFault fault = CodePointFault(code); fault != NameFault::None)
            return fault;
    }
    return NameFault::None;
}

} // namespace

NameFault CheckNameLabels(const std::vector<std::string> &labels)
{
    if (labels.empty())
        return NameFault::Empty;
    std::size_t length = labels.size() - 1; // the dots between them
    for (const std::string &label : labels) {
        if (const NameFault fault = CheckLabel(label); fault != NameFault::None)
            return fault;
        length += label.size();
    }
    return length > kMaxNameBytes ? NameFault::LongName : NameFault::None;
}

NameFault CheckName(std::string_view name)
{
    if (name.empty())
        return NameFault::Empty;
    if (name.size() > kMaxNameBytes)
        return NameFault::LongName;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (const NameFault fault = CheckLabel(label); fault != NameFault::None)
            return fault;
        if (dot == std::string_view::npos)
            return NameFault::None;
        start = dot + 1;
    }
}

NameFault CheckText(std::string_view text, std::size_t maxBytes)
{
    if (text.empty())
        return NameFault::Empty;
    if (text.size() > maxBytes)
        return NameFault::LongText;
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        if (!NextCodePoint(text, at, &code))
            return NameFault::InvalidUtf8;
        if (const NameFault fault = CodePointFault(code); fault != NameFault::None)
            return fault;
    }
    return NameFault::None;
}

const char *NameFaultText(NameFault fault)
{
    switch (fault) {
    case NameFault::None:
        return "acceptable";
    case NameFault::Empty:
        return "vide";
    case NameFault::InvalidUtf8:
        return "UTF-8 invalide";
    case NameFault::Control:
        return "caractère de contrôle";
    case NameFault::Bidirectional:
        return "marque de sens d'écriture";
    case NameFault::Invisible:
        return "caractère invisible";
    case NameFault::DotInLabel:
        return "point dans une étiquette";
    case NameFault::EmptyLabel:
        return "étiquette vide";
    case NameFault::LongLabel:
        return "étiquette de plus de 63 octets";
    case NameFault::LongName:
        return "nom de plus de 253 octets";
    case NameFault::LongText:
        return "texte trop long";
    }
    return "?";
}

} // namespace namerule
