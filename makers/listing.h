#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <functional>

// The one reader of the four IEEE listings that the program carries
// (oui.txt, mam.txt, oui36.txt, iab.txt). Every assignment is a record of a
// few lines, of which two say what it is:
//
//   70-B3-D5   (hex)		DSILOG
//   577000-577FFF     (base 16)		DSILOG
//
// A record line is what this pattern matches, the whole line (lines end at
// line feeds), with Unicode's white space and word characters:
//
//   ^\s*([0-9a-fA-F]+(?:-[0-9a-fA-F]+)?)\s*\(base\s*16\)(\s*)(.*)\s*$
//
// The OUI line is the line above it when that reads, with ASCII blanks,
// two hexadecimal digits, "-", two, "-", two, and "(hex)". Which records
// count, and what they name, is each table's rule: the vendor table's
// (vendortable.h) and the smaller blocks' (makerlookup.h).
struct ListingRecord
{
    QString key;  // the digits before "(base 16)" as written: "00A0C9", "577000-577FFF"
    QString name; // the rest of the line after the blanks that follow "(base 16)"
    bool blankBeforeName = false;  // there is at least one such blank
    bool nameStartsAsWord = false; // name begins with a letter, a number or "_" (\w)

    // Whether the line above is an OUI line, and then its OUI: 0x70B3D5.
    bool OuiAbove(quint32 &oui) const;

    // The listing up to the line, for OuiAbove: UTF-8 bytes or a decoded text.
    QByteArrayView bytesBefore;
    QStringView textBefore;
};

using RecordVisitor = std::function<void(const ListingRecord &)>;

// Hands every record line of a listing to visit, in listing order.
void ReadListing(QStringView text, const RecordVisitor &visit);
// The same for UTF-8 bytes, read as the decoded text would be.
void ReadListing(QByteArrayView utf8, const RecordVisitor &visit);
// The listing at path (a resource path such as ":/res/oui.txt"), read in
// place where it can be mapped. One that cannot be read visits nothing.
void ReadListingFile(const QString &path, const RecordVisitor &visit);

// The number that hexadecimal digits of either case write; false for no
// digit, any other character, or more than 16 digits.
bool HexNumber(QStringView digits, quint64 &value);
