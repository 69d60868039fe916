#pragma once

#include "makers/vendortable.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <vector>

// A block of MAC addresses assigned to one company: the first bits of the
// MACs it holds (24, 28 or 36 of them, as a right-aligned number:
// 70:B3:D5:57:7x gives 0x70B3D5577) and the company's name.
struct MakerBlock
{
    quint64 prefix;
    QString name;
};

// The makers by block, for LookupMaker: the OUIs of the vendor table (24-bit
// prefixes), and the smaller blocks that the IEEE assigns inside some OUIs,
// the MA-M blocks (28-bit) and the MA-S and IAB blocks (36-bit). Each list
// is sorted by prefix, with one entry per prefix. Numbers rather than the
// vendor table's text keys make a lookup a short binary search.
struct MakerIndex
{
    std::vector<MakerBlock> ouis;
    std::vector<MakerBlock> blocks28;
    std::vector<MakerBlock> blocks36;
};

// Replaces the index's OUIs by those of vendors. Only vendor keys (six
// upper-case hexadecimal digits) are taken: no other key could match one.
void IndexVendors(const VendorTable &vendors, MakerIndex &index);

// Adds the blocks of a listing laid out as the IEEE's mam.txt, oui36.txt and
// iab.txt (UTF-8, lines split at line feeds). A record is an OUI line and,
// right after it, the block's range within the OUI:
//
//   70-B3-D5   (hex)		DSILOG
//   577000-577FFF     (base 16)		DSILOG
//
// A range of a million addresses (X00000-XFFFFF) is a 28-bit block, one of
// 4,096 (XXX000-XXXFFF) a 36-bit block; a range of any other shape, a
// record without its OUI line and a record whose name is blank add nothing.
// The name is the "(base 16)" line's, without the blanks around it. A later
// record of a block replaces an earlier one, and a block already there.
void ParseMakerBlocks(QByteArrayView listing, MakerIndex &index);

// Reads the listing at path (a resource path such as ":/res/mam.txt") into
// index. An unreadable file adds nothing.
void LoadMakerBlockListing(const QString &path, MakerIndex &index);

// The three listings of smaller blocks that the program carries.
void LoadMakerBlocks(MakerIndex &index);

// All four listings that the program carries: ":/res/oui.txt" into vendors
// and index, then the smaller blocks into index.
void LoadMakers(VendorTable &vendors, MakerIndex &index);
// The same for a program that keeps no vendor table.
void LoadMakers(MakerIndex &index);

// The maker cell of a MAC address.
struct Maker
{
    QString name;                     // the maker's name, "(adresse locale)", or empty
    bool locallyAdministered = false; // name is "(adresse locale)"
};

// The maker of the card with this MAC. The longest assigned prefix wins: a
// 36-bit block (MA-S, IAB), else a 28-bit one (MA-M), else the OUI, which
// gives the name that the vendor table holds under the MAC's vendor key.
// The blocks need the first four and a half bytes, so a MAC shorter than
// five bytes, and a group address, is looked up by its OUI only. A MAC of
// fewer than three bytes has no maker. A unicast MAC that no listing holds
// and whose first byte has the 0x02 bit set was made up locally (often at
// random, by a phone or a tablet, or for a virtual machine): its maker is
// "(adresse locale)".
Maker LookupMaker(const MakerIndex &makers, const std::vector<unsigned char> &mac);
