#include "makers/vendortable.h"

#include "makers/listing.h"

#include <algorithm>
#include <string_view>
#include <vector>

// The records go into the map sorted, each at the end, instead of one by one
// down a search of the tree.

namespace {

struct Record
{
    QString key;
    QString name;
};
using Records = std::vector<Record>;

// A record of the OUI listing: its key a single run of digits, its name after
// at least one blank and beginning with a word character.
RecordVisitor Collect(Records &records)
{
    return [&records](const ListingRecord &record) {
        if (record.blankBeforeName && record.nameStartsAsWord &&
            !record.key.contains(QLatin1Char('-')))
            records.push_back({record.key.toUpper(), record.name});
    };
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
    for (Record &r : records)
        hint = std::next(table.insert_or_assign(hint, std::move(r.key), std::move(r.name)));
}

} // namespace

void ParseVendorListing(const QString &listing, VendorTable &table)
{
    Records records;
    ReadListing(QStringView(listing), Collect(records));
    Store(records, table);
}

void LoadVendorListing(const QString &path, VendorTable &table)
{
    Records records;
    ReadListingFile(path, Collect(records));
    Store(records, table);
}
