// The OUI listing parser, on any listing: as text (UTF-16) and as the bytes
// of a file, the two ways a listing reaches it.
#include "makers/vendortable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdlib>

namespace {

// The file the listing goes through, removed when the run ends.
struct ListingFile
{
    const QString path =
        QDir::tempPath() +
        QStringLiteral("/trelvan-fuzz-vendors-%1.txt").arg(QCoreApplication::applicationPid());
    ~ListingFile() { QFile::remove(path); }
};

// Every key is a run of upper-case hexadecimal digits, every name starts
// with a word character.
void CheckKeys(const VendorTable &table)
{
    for (const auto &[key, name] : table) {
        if (key.isEmpty() || name.isEmpty() || key != key.toUpper())
            std::abort();
        for (const QChar c : key) {
            const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
            if (!digit && (c < QLatin1Char('A') || c > QLatin1Char('F')))
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    VendorTable fromText;
    ParseVendorListing(QString::fromUtf8(bytes), fromText);
    CheckKeys(fromText);

    static const ListingFile listing;
    const QString &path = listing.path;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
        file.close();
        VendorTable fromFile;
        LoadVendorListing(path, fromFile);
        CheckKeys(fromFile);
        // A listing that is valid UTF-8 reads alike both ways.
        if (bytes.isValidUtf8() && fromFile != fromText)
            std::abort();
    }
    return 0;
}
