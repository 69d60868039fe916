#include "makers/listing.h"

#include <QFile>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

// The listings are read while the window is being built, so the reader
// avoids the slow parts of the plain way (decode the whole text, split it
// into lines, match each line with the pattern):
//  - only lines holding "(base" can match; the others are never looked at;
//  - a line of plain ASCII is matched by hand, where \s and \w have their
//    ASCII meaning; the regular expression takes every other line;
//  - a file is read as UTF-8 bytes in place (an uncompressed resource or a
//    mapped file), and only lines that need the regular expression are
//    decoded. In UTF-8 no byte of a multi-byte character is ASCII, so lines
//    and ASCII runs are the same in the bytes as in the decoded text.

namespace {

template <typename Char> constexpr uint Unit(Char c)
{
    return std::make_unsigned_t<Char>(c);
}

// ASCII white space as \s sees it.
constexpr bool IsBlank(uint c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr int HexValue(uint c)
{
    if (c >= '0' && c <= '9')
        return int(c - '0');
    if (c >= 'a' && c <= 'f')
        return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return int(c - 'A' + 10);
    return -1;
}

constexpr bool IsWordCharacter(uint c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Lines the hand matcher may judge: ASCII only, and none of the characters
// that some line-end conventions would keep "." from matching (vertical tab,
// form feed and carriage return among the blanks, and NUL).
template <typename Char> bool IsPlainAscii(const Char *s, qsizetype n)
{
    for (qsizetype i = 0; i < n; ++i) {
        const uint c = Unit(s[i]);
        if (c >= 0x80 || c == 0 || (c >= 0x0B && c <= 0x0D))
            return false;
    }
    return true;
}

// Where the hand matcher found a record line's parts.
struct Parts
{
    qsizetype keyBegin = 0;
    qsizetype keyEnd = 0;
    qsizetype blanks = 0; // after "(base 16)"
    qsizetype nameBegin = 0;
};

// The pattern worked by hand on an ASCII line. Each step's characters are
// disjoint from the next step's, so no step ever has to give any back.
template <typename Char> bool MatchAscii(const Char *s, qsizetype n, Parts &parts)
{
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        const qsizetype from = i;
        while (i < n && IsBlank(Unit(s[i])))
            ++i;
        return i - from;
    };
    const auto skipHex = [&] {
        const qsizetype from = i;
        while (i < n && HexValue(Unit(s[i])) >= 0)
            ++i;
        return i - from;
    };
    const auto literal = [&](std::string_view text) {
        for (const char c : text) {
            if (i >= n || Unit(s[i]) != uint(c))
                return false;
            ++i;
        }
        return true;
    };

    skipBlanks();
    parts.keyBegin = i;
    if (skipHex() == 0)
        return false;
    if (i < n && Unit(s[i]) == '-') {
        ++i;
        if (skipHex() == 0)
            return false;
    }
    parts.keyEnd = i;
    skipBlanks();
    if (!literal("(base"))
        return false;
    skipBlanks();
    if (!literal("16)"))
        return false;
    parts.blanks = skipBlanks();
    parts.nameBegin = i;
    return true;
}

// "70-B3-D5   (hex)\t\tDSILOG" gives the OUI 0x70B3D5.
template <typename Char> bool ReadOuiLine(const Char *s, qsizetype n, quint32 &oui)
{
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < n && IsBlank(Unit(s[i])))
            ++i;
    };
    skipBlanks();
    quint32 value = 0;
    for (int digit = 0; digit < 6; ++digit) {
        if (digit == 2 || digit == 4) {
            if (i >= n || Unit(s[i]) != '-')
                return false;
            ++i;
        }
        const int v = i < n ? HexValue(Unit(s[i])) : -1;
        if (v < 0)
            return false;
        value = value << 4 | quint32(v);
        ++i;
    }
    skipBlanks();
    for (const char c : std::string_view("(hex)")) {
        if (i >= n || Unit(s[i]) != uint(c))
            return false;
        ++i;
    }
    oui = value;
    return true;
}

QString Text(const char *s, qsizetype n)
{
    return QString::fromLatin1(s, n);
}

QString Text(const char16_t *s, qsizetype n)
{
    return QString(reinterpret_cast<const QChar *>(s), n);
}

class RecordMatcher
{
public:
    RecordMatcher()
        : pattern(QRegularExpression::anchoredPattern(QStringLiteral(
                      R"(^\s*([0-9a-fA-F]+(?:-[0-9a-fA-F]+)?)\s*\(base\s*16\)(\s*)(.*)\s*$)")),
                  QRegularExpression::UseUnicodePropertiesOption),
          word(QStringLiteral(R"(^\w)"), QRegularExpression::UseUnicodePropertiesOption)
    {
    }

    // Reads the line [begin, end) of text into record; false when it is no
    // record line.
    template <typename Char>
    bool Read(const Char *text, const Char *begin, const Char *end, ListingRecord &record)
    {
        const qsizetype n = end - begin;
        if (IsPlainAscii(begin, n)) {
            Parts parts;
            if (!MatchAscii(begin, n, parts))
                return false;
            record.key = Text(begin + parts.keyBegin, parts.keyEnd - parts.keyBegin);
            record.name = Text(begin + parts.nameBegin, n - parts.nameBegin);
            record.blankBeforeName = parts.blanks > 0;
            record.nameStartsAsWord =
                parts.nameBegin < n && IsWordCharacter(Unit(begin[parts.nameBegin]));
        } else {
            const QRegularExpressionMatch match = pattern.match(Decoded(text, begin, end));
            if (!match.hasMatch())
                return false;
            record.key = match.captured(1);
            record.name = match.captured(3);
            record.blankBeforeName = match.capturedLength(2) > 0;
            record.nameStartsAsWord = word.match(record.name).hasMatch();
        }
        SetBefore(record, text, begin);
        return true;
    }

private:
    static void SetBefore(ListingRecord &record, const char *text, const char *begin)
    {
        record.bytesBefore = QByteArrayView(text, begin - text);
    }

    static void SetBefore(ListingRecord &record, const char16_t *text, const char16_t *begin)
    {
        record.textBefore = QStringView(text, begin - text);
    }

    static QString Decoded(const char16_t *, const char16_t *begin, const char16_t *end)
    {
        return Text(begin, end - begin);
    }

    // Decoded as within the whole text, where only a byte order mark at the
    // very start is dropped.
    QString Decoded(const char *text, const char *begin, const char *end)
    {
        const QByteArrayView bytes(begin, end - begin);
        return begin == text ? QString::fromUtf8(bytes) : QString(midTextDecoder(bytes));
    }

    QRegularExpression pattern;
    QRegularExpression word;
    QStringDecoder midTextDecoder{QStringDecoder::Utf8,
                                  QStringDecoder::Flag::Stateless |
                                      QStringDecoder::Flag::ConvertInitialBom};
};

// The line above the end of before, which is a line feed, read as an OUI line.
template <typename Char> bool ReadOuiLineAbove(const Char *before, qsizetype size, quint32 &oui)
{
    if (size == 0)
        return false;
    const Char *const end = before + size - 1;
    const Char *above = end;
    while (above > before && above[-1] != Char('\n'))
        --above;
    return ReadOuiLine(above, end - above, oui);
}

const char *Find(const char *from, const char *end, char c)
{
    return static_cast<const char *>(std::memchr(from, c, size_t(end - from)));
}

const char16_t *Find(const char16_t *from, const char16_t *end, char16_t c)
{
    const qsizetype at = QStringView(from, end).indexOf(QChar(c));
    return at < 0 ? nullptr : from + at;
}

// Hands every line that holds "(base" to the matcher, in listing order.
// Lines are split at line feeds; empty ones could not match anyway.
template <typename Char> void Read(const Char *text, qsizetype size, const RecordVisitor &visit)
{
    RecordMatcher matcher;
    ListingRecord record;
    constexpr std::string_view marker("(base");
    const Char *const end = text + size;
    const Char *from = text;
    while (from < end) {
        const Char *const hit = Find(from, end, Char('('));
        if (!hit)
            break;
        if (end - hit < qsizetype(marker.size()) ||
            !std::equal(marker.begin(), marker.end(), hit,
                        [](char m, Char c) { return uint(m) == Unit(c); })) {
            from = hit + 1;
            continue;
        }
        const Char *begin = hit;
        while (begin > text && begin[-1] != Char('\n'))
            --begin;
        const Char *lineEnd = Find(hit, end, Char('\n'));
        if (!lineEnd)
            lineEnd = end;
        if (matcher.Read(text, begin, lineEnd, record))
            visit(record);
        from = lineEnd;
    }
}

} // namespace

void ReadListing(QStringView text, const RecordVisitor &visit)
{
    Read(text.utf16(), text.size(), visit);
}

void ReadListing(QByteArrayView utf8, const RecordVisitor &visit)
{
    Read(utf8.data(), utf8.size(), visit);
}

bool ListingRecord::OuiAbove(quint32 &oui) const
{
    return bytesBefore.data() ? ReadOuiLineAbove(bytesBefore.data(), bytesBefore.size(), oui)
                              : ReadOuiLineAbove(textBefore.utf16(), textBefore.size(), oui);
}

bool HexNumber(QStringView digits, quint64 &value)
{
    if (digits.isEmpty() || digits.size() > 16)
        return false;
    value = 0;
    for (const QChar c : digits) {
        const int digit = HexValue(c.unicode());
        if (digit < 0)
            return false;
        value = value << 4 | quint64(digit);
    }
    return true;
}

void ReadListingFile(const QString &path, const RecordVisitor &visit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // An uncompressed resource maps straight onto the program's own data and
    // a file onto the page cache, so the 5 MB OUI listing is not copied.
    const qint64 size = file.size();
    if (const uchar *mapped = size > 0 ? file.map(0, size) : nullptr) {
        ReadListing(QByteArrayView(mapped, size), visit);
        return;
    }
    ReadListing(QByteArrayView(file.readAll()), visit);
}
