#include "makers/makerlookup.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Walks one line from left to right; each step consumes what it matched.
class LineReader
{
public:
    explicit LineReader(std::string_view text) : line(text) {}

    void SkipBlanks()
    {
        while (at < line.size() && IsBlank(line[at]))
            ++at;
    }

    // Exactly digits hexadecimal digits.
    bool Hex(int digits, quint32 &value)
    {
        value = 0;
        for (int i = 0; i < digits; ++i, ++at) {
            const int digit = at < line.size() ? HexValue(line[at]) : -1;
            if (digit < 0)
                return false;
            value = value << 4 | quint32(digit);
        }
        return true;
    }

    bool Literal(std::string_view text)
    {
        if (line.substr(at, text.size()) != text)
            return false;
        at += text.size();
        return true;
    }

    std::string_view Rest() const { return line.substr(at); }

private:
    std::string_view line;
    std::size_t at = 0;
};

// "70-B3-D5   (hex)\t\tDSILOG" gives the OUI 0x70B3D5.
bool ReadOuiLine(std::string_view line, quint32 &oui)
{
    LineReader reader(line);
    quint32 a, b, c;
    reader.SkipBlanks();
    if (!reader.Hex(2, a) || !reader.Literal("-") || !reader.Hex(2, b) || !reader.Literal("-") ||
        !reader.Hex(2, c))
        return false;
    reader.SkipBlanks();
    if (!reader.Literal("(hex)"))
        return false;
    oui = a << 16 | b << 8 | c;
    return true;
}

// "577000-577FFF     (base 16)\t\tDSILOG" gives the range and the name's text.
bool ReadRangeLine(std::string_view line, quint32 &low, quint32 &high, std::string_view &name)
{
    LineReader reader(line);
    reader.SkipBlanks();
    if (!reader.Hex(6, low) || !reader.Literal("-") || !reader.Hex(6, high))
        return false;
    reader.SkipBlanks();
    if (!reader.Literal("(base 16)"))
        return false;
    name = reader.Rest();
    return true;
}

void AddRecord(quint32 oui, quint32 low, quint32 high, std::string_view text, MakerIndex &index)
{
    constexpr quint32 Medium = 0x0FFFFF; // the 20 bits below a 28-bit prefix
    constexpr quint32 Small = 0x000FFF;  // the 12 bits below a 36-bit prefix
    std::vector<MakerBlock> *table;
    quint64 prefix;
    if ((low & Medium) == 0 && high == (low | Medium)) {
        table = &index.blocks28;
        prefix = quint64(oui) << 4 | low >> 20;
    } else if ((low & Small) == 0 && high == (low | Small)) {
        table = &index.blocks36;
        prefix = quint64(oui) << 12 | low >> 12;
    } else {
        return;
    }
    const QString name = QString::fromUtf8(text.data(), qsizetype(text.size())).trimmed();
    if (name.isEmpty())
        return;
    table->push_back({prefix, name});
}

// Sorts the blocks by prefix and keeps, of each prefix, the entry added last.
void Settle(std::vector<MakerBlock> &table)
{
    std::stable_sort(table.begin(), table.end(),
                     [](const MakerBlock &a, const MakerBlock &b) { return a.prefix < b.prefix; });
    auto out = table.begin();
    for (auto run = table.begin(); run != table.end();) {
        auto next = run + 1;
        while (next != table.end() && next->prefix == run->prefix)
            ++next;
        if (out != next - 1)
            *out = std::move(*(next - 1));
        ++out;
        run = next;
    }
    table.erase(out, table.end());
}

const QString *Find(const std::vector<MakerBlock> &table, quint64 prefix)
{
    const auto found =
        std::lower_bound(table.begin(), table.end(), prefix,
                         [](const MakerBlock &block, quint64 p) { return block.prefix < p; });
    return found != table.end() && found->prefix == prefix ? &found->name : nullptr;
}

// The OUI of a vendor key, six upper-case hexadecimal digits.
bool VendorKeyValue(const QString &key, quint32 &oui)
{
    if (key.size() != 6)
        return false;
    oui = 0;
    for (const QChar c : key) {
        const char16_t unit = c.unicode();
        if (unit >= 'a' || HexValue(char(unit)) < 0)
            return false;
        oui = oui << 4 | quint32(HexValue(char(unit)));
    }
    return true;
}

} // namespace

void IndexVendors(const VendorTable &vendors, MakerIndex &index)
{
    index.ouis.clear();
    index.ouis.reserve(vendors.size());
    quint32 oui;
    for (const auto &[key, name] : vendors)
        if (VendorKeyValue(key, oui))
            index.ouis.push_back({oui, name});
    // The table's text order is already the numbers' order; this keeps the
    // index right whatever the order.
    Settle(index.ouis);
}

void ParseMakerBlocks(QByteArrayView listing, MakerIndex &index)
{
    const char *from = listing.data();
    const char *const end = from + listing.size();
    bool haveOui = false;
    quint32 oui = 0;
    while (from < end) {
        const char *lineEnd =
            static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
        if (!lineEnd)
            lineEnd = end;
        const std::string_view line(from, size_t(lineEnd - from));
        from = lineEnd < end ? lineEnd + 1 : end;

        quint32 low, high;
        std::string_view name;
        if (ReadOuiLine(line, oui)) {
            haveOui = true;
            continue;
        }
        // A range belongs to the OUI line right above it.
        if (haveOui && ReadRangeLine(line, low, high, name))
            AddRecord(oui, low, high, name, index);
        haveOui = false;
    }
    Settle(index.blocks28);
    Settle(index.blocks36);
}

void LoadMakerBlockListing(const QString &path, MakerIndex &index)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Uncompressed resources and files are mapped, not copied.
    const qint64 size = file.size();
    if (const uchar *mapped = size > 0 ? file.map(0, size) : nullptr) {
        ParseMakerBlocks(QByteArrayView(mapped, size), index);
        return;
    }
    ParseMakerBlocks(file.readAll(), index);
}

void LoadMakerBlocks(MakerIndex &index)
{
    for (const char *path : {":/res/mam.txt", ":/res/oui36.txt", ":/res/iab.txt"})
        LoadMakerBlockListing(QString::fromLatin1(path), index);
}

void LoadMakers(VendorTable &vendors, MakerIndex &index)
{
    LoadVendorListing(QStringLiteral(":/res/oui.txt"), vendors);
    IndexVendors(vendors, index);
    LoadMakerBlocks(index);
}

void LoadMakers(MakerIndex &index)
{
    VendorTable vendors;
    LoadMakers(vendors, index);
}

Maker LookupMaker(const MakerIndex &makers, const std::vector<unsigned char> &mac)
{
    if (mac.size() < 3)
        return {};
    const bool group = mac[0] & 0x01;
    if (!group && mac.size() >= 5) {
        const quint64 first36 = quint64(mac[0]) << 28 | quint64(mac[1]) << 20 |
                                quint64(mac[2]) << 12 | quint64(mac[3]) << 4 | mac[4] >> 4;
        if (const QString *name = Find(makers.blocks36, first36))
            return {*name, false};
        if (const QString *name = Find(makers.blocks28, first36 >> 8))
            return {*name, false};
    }
    const quint64 oui = quint64(mac[0]) << 16 | quint64(mac[1]) << 8 | mac[2];
    if (const QString *name = Find(makers.ouis, oui))
        return {*name, false};
    if (!group && (mac[0] & 0x02))
        return {QCoreApplication::translate("Makers", "(adresse locale)"), true};
    return {};
}
