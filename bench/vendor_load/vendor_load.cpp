// Times the vendor table's load from the embedded listing, as the window does
// it while it is being built, beside the costs of the plain way (copy the
// listing, decode it whole, split it and match every line).

#include "makers/vendortable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
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
        const auto result = work();
        ms.push_back(timer.nsecsElapsed() / 1e6);
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // The load as the program meets it: once, first thing in a fresh process.
    if (argc > 1 && qstrcmp(argv[1], "--once") == 0) {
        QElapsedTimer timer;
        timer.start();
        VendorTable table;
        LoadVendorListing(listingPath, table);
        const double ms = timer.nsecsElapsed() / 1e6;
        std::printf("%.3f\n", ms);
        return table.empty() ? 1 : 0;
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
    return 0;
}
