#include "makers/vendortable.h"

#include <QFile>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

// A record line reads "002272     (base 16)\t\tAmerican Micro-Fuel Device Corp.";
// what counts as one is what this pattern matches, the whole line:
//
//   ^\s*([0-9a-fA-F]+)\s*\(base\s*16\)\s+\b(.*)\s*$
//
// with Unicode properties, so that \s and \b treat non-ASCII names as they
// treat ASCII ones. The load runs while the window is being built, so it
// avoids the slow parts of the plain way (decode the whole text, split it
// into lines, match each line):
//  - only lines holding "(base" can match; the others are never looked at;
//  - a line of plain ASCII is matched by hand, where \s, \w and \b have their
//    ASCII meaning; the regular expression takes every other line;
//  - the file is read as UTF-8 bytes in place (an uncompressed resource or a
//    mapped file), and only lines that need the regular expression are
//    decoded. In UTF-8 no byte of a multi-byte character is ASCII, so lines
//    and ASCII runs are the same in the bytes as in the decoded text;
//  - the records are sorted before they go into the map, so that each goes
//    in at the end instead of down a search of the tree.

namespace {

struct Record
{
    QString key;
    QString name;
};
using Records = std::vector<Record>;

template <typename Char> constexpr uint Unit(Char c)
{
    return std::make_unsigned_t<Char>(c);
}

// ASCII white space as \s sees it.
constexpr bool IsBlank(uint c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool IsHexDigit(uint c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
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
        if (c >= 0x80 || c == 0 || (c >= 0x0B && c <= 0x0D)) {
            return false;
        }
    }
    return true;
}

// The pattern worked by hand on an ASCII line. Each step's characters are
// disjoint from the next step's, so no step ever has to give any back.
// On success the key is [keyBegin, keyEnd) and the name runs from nameBegin
// to the end of the line.
template <typename Char>
bool MatchAscii(const Char *s, qsizetype n, qsizetype &keyBegin, qsizetype &keyEnd,
                qsizetype &nameBegin)
{
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        const qsizetype from = i;
        while (i < n && IsBlank(Unit(s[i]))) {
            ++i;
        }
        return i - from;
    };
    const auto literal = [&](std::string_view text) {
        for (const char c : text) {
            if (i >= n || Unit(s[i]) != uint(c)) {
                return false;
            }
            ++i;
        }
        return true;
    };

    skipBlanks();
    keyBegin = i;
    while (i < n && IsHexDigit(Unit(s[i]))) {
        ++i;
    }
    keyEnd = i;
    if (keyEnd == keyBegin) {
        return false;
    }
    skipBlanks();
    if (!literal("(base")) {
        return false;
    }
    skipBlanks();
    if (!literal("16)")) {
        return false;
    }
    // \s+ then \b: the blanks run up to a word character, which starts the name.
    if (skipBlanks() == 0 || i >= n || !IsWordCharacter(Unit(s[i]))) {
        return false;
    }
    nameBegin = i;
    return true;
}

class RecordMatcher
{
public:
    RecordMatcher()
        : pattern(QRegularExpression::anchoredPattern(
                      QStringLiteral(R"(^\s*([0-9a-fA-F]+)\s*\(base\s*16\)\s+\b(.*)\s*$)")),
                  QRegularExpression::UseUnicodePropertiesOption)
    {
    }

    // Appends the line's record, if it is one, to records.
    void Match(QStringView line, bool, Records &records) const
    {
        if (IsPlainAscii(line.utf16(), line.size())) {
            qsizetype keyBegin, keyEnd, nameBegin;
            if (MatchAscii(line.utf16(), line.size(), keyBegin, keyEnd, nameBegin)) {
                records.push_back({line.mid(keyBegin, keyEnd - keyBegin).toString().toUpper(),
                                   line.mid(nameBegin).toString()});
            }
            return;
        }
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch()) {
            records.push_back({match.captured(1).toUpper(), match.captured(2)});
        }
    }

    // The same for a line of UTF-8 bytes; first marks the text's first line.
    void Match(std::string_view line, bool first, Records &records)
    {
        if (IsPlainAscii(line.data(), qsizetype(line.size()))) {
            qsizetype keyBegin, keyEnd, nameBegin;
            if (MatchAscii(line.data(), qsizetype(line.size()), keyBegin, keyEnd, nameBegin)) {
                records.push_back(
                    {QString::fromLatin1(line.data() + keyBegin, keyEnd - keyBegin).toUpper(),
                     QString::fromLatin1(line.data() + nameBegin,
                                         qsizetype(line.size()) - nameBegin)});
            }
            return;
        }
        // Decoded as within the whole text, where only a byte order mark at
        // the very start is dropped.
        const QByteArrayView bytes(line.data(), qsizetype(line.size()));
        const QString decoded = first ? QString::fromUtf8(bytes) : QString(midTextDecoder(bytes));
        const QRegularExpressionMatch match = pattern.match(decoded);
        if (match.hasMatch()) {
            records.push_back({match.captured(1).toUpper(), match.captured(2)});
        }
    }

private:
    QRegularExpression pattern;
    QStringDecoder midTextDecoder{QStringDecoder::Utf8,
                                  QStringDecoder::Flag::Stateless |
                                      QStringDecoder::Flag::ConvertInitialBom};
};

const char *Find(const char *from, const char *end, char c)
{
    return static_cast<const char *>(std::memchr(from, c, size_t(end - from)));
}

const char16_t *Find(const char16_t *from, const char16_t *end, char16_t c)
{
    const qsizetype at = QStringView(from, end).indexOf(QChar(c));
    return at < 0 ? nullptr : from + at;
}

std::string_view Line(const char *begin, const char *end)
{
    return std::string_view(begin, size_t(end - begin));
}

QStringView Line(const char16_t *begin, const char16_t *end)
{
    return QStringView(begin, end);
}

// Hands every line that holds "(base" to the matcher, in listing order.
// Lines are split at line feeds; empty ones could not match anyway.
template <typename Char> void CollectRecords(const Char *text, qsizetype size, Records &records)
{
    RecordMatcher matcher;
    constexpr std::string_view marker("(base");
    const Char *const end = text + size;
    const Char *from = text;
    while (from < end) {
        const Char *const hit = Find(from, end, Char('('));
        if (!hit) {
            break;
        }
        if (end - hit < qsizetype(marker.size()) ||
            !std::equal(marker.begin(), marker.end(), hit,
                        [](char m, Char c) { return uint(m) == Unit(c); })) {
            from = hit + 1;
            continue;
        }
        const Char *begin = hit;
        while (begin > text && begin[-1] != Char('\n')) {
            --begin;
        }
        const Char *lineEnd = Find(hit, end, Char('\n'));
        if (!lineEnd) {
            lineEnd = end;
        }
        matcher.Match(Line(begin, lineEnd), begin == text, records);
        from = lineEnd;
    }
}

std::u16string_view View(const QString &s)
{
    return std::u16string_view(QStringView(s).utf16(), size_t(s.size()));
}

// Stores the records, in listing order, so that the last record of a key wins.
void Store(Records &records, VendorTable &table)
{
    // Code-unit order, as QString's operator< has it, but without a call per
    // comparison. The stable sort keeps each key's records in listing order.
    std::stable_sort(records.begin(), records.end(),
                     [](const Record &a, const Record &b) { return View(a.key) < View(b.key); });
    auto hint = table.end();
    for (Record &r : records) {
        hint = std::next(table.insert_or_assign(hint, std::move(r.key), std::move(r.name)));
    }
}

} // namespace

void ParseVendorListing(const QString &listing, VendorTable &table)
{
    Records records;
    CollectRecords(QStringView(listing).utf16(), listing.size(), records);
    Store(records, table);
}

void LoadVendorListing(const QString &path, VendorTable &table)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    // An uncompressed resource maps straight onto the program's own data and
    // a file onto the page cache, so the 5 MB listing is not copied.
    const qint64 size = file.size();
    const uchar *mapped = size > 0 ? file.map(0, size) : nullptr;
    QByteArray copy;
    if (!mapped) {
        copy = file.readAll();
    }
    const char *data = mapped ? reinterpret_cast<const char *>(mapped) : copy.constData();
    const qsizetype length = mapped ? qsizetype(size) : copy.size();

    Records records;
    CollectRecords(data, length, records);
    Store(records, table);
}
