#pragma once

#include <QString>

#include <map>

// OUI (six upper-case hexadecimal digits) -> the organisation's name.
using VendorTable = std::map<QString, QString>;

// Adds one entry per "(base 16)" record line of an IEEE OUI listing; a later
// record of a key overwrites an earlier one, and an entry already in table.
// The key is upper-cased; the name is kept as written from its first
// character on, trailing blanks included. Lines of any other shape, and
// records whose name is blank or starts with punctuation, add nothing.
void ParseVendorListing(const QString &listing, VendorTable &table);

// Reads the listing at path (a resource path such as ":/res/oui.txt") as
// UTF-8 and parses it into table. An unreadable file adds nothing.
void LoadVendorListing(const QString &path, VendorTable &table);
