// Times the maker tables' load from the embedded listings, as the window does
// it while it is being built, beside the costs of the plain way (copy the
// listing, decode it whole, split it and match every line), and the lookup
// of a /16's worth of MACs.

#include "makers/makerlookup.h"
#include "makers/vendortable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const QString listingPath = QStringLiteral(":/res/oui.txt");

struct Figures
{
    double median;
    double min;
    double max;
};

// The work's result is dropped after the clock stops: freeing a table is
// not part of loading it.
template <typename Work> Figures Time(int runs, const Work &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        [[maybe_unused]] const auto result = work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front(), ms.back()};
}

void Print(const char *what, const Figures &f)
{
    std::printf("%-34s median %8.2f ms   min %8.2f   max %8.2f\n", what, f.median, f.min, f.max);
}

QByteArray ReadListing()
{
    QFile file(listingPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// Every line split out and matched, for comparison.
void LineByLine(const QString &listing, VendorTable &table)
{
    const QRegularExpression pattern(
        QStringLiteral(R"(^\s*([0-9a-fA-F]+)\s*\(base\s*16\)\s+\b(.*)\s*$)"),
        QRegularExpression::UseUnicodePropertiesOption);
    for (const QString &line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch()) {
            table[match.captured(1).toUpper()] = match.captured(2);
        }
    }
}

// 65,536 MACs: a quarter in 36-bit blocks, a quarter in 28-bit blocks, a
// quarter under OUIs of the listing and a quarter of random bytes (half of
// them locally administered).
std::vector<std::vector<unsigned char>> SixteenMacs(const VendorTable &vendors,
                                                    const MakerIndex &blocks)
{
    std::vector<QString> ouis;
    for (const auto &entry : vendors) {
        ouis.push_back(entry.first);
    }
    QRandomGenerator random(16);
    std::vector<std::vector<unsigned char>> macs;
    for (int i = 0; i < 65536; ++i) {
        quint64 bits = random.generate64() & 0xFFFFFFFFFFFF;
        switch (i % 4) {
        case 0:
            bits = blocks.blocks36[random.bounded(quint32(blocks.blocks36.size()))].prefix << 12 |
                   (bits & 0xFFF);
            break;
        case 1:
            bits = blocks.blocks28[random.bounded(quint32(blocks.blocks28.size()))].prefix << 20 |
                   (bits & 0xFFFFF);
            break;
        case 2:
            bits = ouis[random.bounded(quint32(ouis.size()))].toULongLong(nullptr, 16) << 24 |
                   (bits & 0xFFFFFF);
            break;
        default:
            break;
        }
        std::vector<unsigned char> mac;
        for (int shift = 40; shift >= 0; shift -= 8) {
            mac.push_back(static_cast<unsigned char>(bits >> shift));
        }
        macs.push_back(mac);
    }
    return macs;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // The load as the program meets it: once, first thing in a fresh process;
    // the OUI listing, then the listings of smaller blocks.
    if (argc > 1 && qstrcmp(argv[1], "--once") == 0) {
        QElapsedTimer timer;
        timer.start();
        VendorTable table;
        LoadVendorListing(listingPath, table);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        timer.start();
        MakerIndex makers;
        IndexVendors(table, makers);
        LoadMakerBlocks(makers);
        const double blocksMs = double(timer.nsecsElapsed()) / 1e6;
        std::printf("%.3f %.3f\n", ms, blocksMs);
        return table.empty() || makers.blocks36.empty() ? 1 : 0;
    }

    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 21;

    const QByteArray bytes = ReadListing();
    const QString text = QString::fromUtf8(bytes);
    VendorTable table;
    LoadVendorListing(listingPath, table);
    std::printf("listing %lld bytes, %lld lines, %zu keys, %d runs each\n",
                static_cast<long long>(bytes.size()), static_cast<long long>(bytes.count('\n')),
                table.size(), runs);
    if (table.empty()) {
        return 1;
    }

    Print("LoadVendorListing", Time(runs, [] {
              VendorTable t;
              LoadVendorListing(listingPath, t);
              return t;
          }));
    Print("ParseVendorListing, decoded text", Time(runs, [&] {
              VendorTable t;
              ParseVendorListing(text, t);
              return t;
          }));
    Print("plain way: copy the resource", Time(runs, [] { return ReadListing(); }));
    Print("plain way: decode UTF-8", Time(runs, [&] { return QString::fromUtf8(bytes); }));
    Print("plain way: split, match every line", Time(runs, [&] {
              VendorTable t;
              LineByLine(text, t);
              return t;
          }));

    MakerIndex blocks;
    IndexVendors(table, blocks);
    LoadMakerBlocks(blocks);
    std::printf("smaller blocks: %zu of 28 bits, %zu of 36 bits\n", blocks.blocks28.size(),
                blocks.blocks36.size());
    if (blocks.blocks28.empty() || blocks.blocks36.empty()) {
        return 1;
    }
    Print("IndexVendors", Time(runs, [&] {
              MakerIndex b;
              IndexVendors(table, b);
              return b;
          }));
    Print("LoadMakerBlocks (MA-M, MA-S, IAB)", Time(runs, [] {
              MakerIndex b;
              LoadMakerBlocks(b);
              return b;
          }));
    const auto macs = SixteenMacs(table, blocks);
    Print("LookupMaker, 65,536 MACs", Time(runs, [&] {
              qsizetype named = 0;
              for (const auto &mac : macs) {
                  named += LookupMaker(blocks, mac).name.isEmpty() ? 0 : 1;
              }
              return named;
          }));
    return 0;
}
