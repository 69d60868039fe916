#include "makers/makerlookup.h"

#include "makers/listing.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

// A record of a listing of smaller blocks: a range of a million addresses
// (X00000-XFFFFF) is a 28-bit block, one of 4,096 (XXX000-XXXFFF) a 36-bit
// one, inside the OUI of the line above.
void AddBlock(const ListingRecord &record, MakerIndex &index)
{
    constexpr quint64 Medium = 0x0FFFFF; // the 20 bits below a 28-bit prefix
    constexpr quint64 Small = 0x000FFF;  // the 12 bits below a 36-bit prefix
    const QStringView key(record.key);
    quint64 low, high;
    quint32 oui;
    if (key.size() != 13 || key[6] != QLatin1Char('-') || !HexNumber(key.left(6), low) ||
        !HexNumber(key.mid(7), high) || !record.OuiAbove(oui))
        return;
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
    const QString name = record.name.trimmed();
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
    quint64 value;
    if (key.size() != 6 || !HexNumber(key, value))
        return false;
    for (const QChar c : key)
        if (c.unicode() >= 'a')
            return false;
    oui = quint32(value);
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
    ReadListing(listing, [&index](const ListingRecord &record) { AddBlock(record, index); });
    Settle(index.blocks28);
    Settle(index.blocks36);
}

void LoadMakerBlockListing(const QString &path, MakerIndex &index)
{
    ReadListingFile(path, [&index](const ListingRecord &record) { AddBlock(record, index); });
    Settle(index.blocks28);
    Settle(index.blocks36);
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
