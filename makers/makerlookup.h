#pragma once

#include "makers/vendortable.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <vector>

// One of the smaller blocks that the IEEE assigns inside some OUIs: the
// first bits of the MACs it holds (28 or 36 of them, as a right-aligned
// number: 70:B3:D5:57:7x gives 0x70B3D5577) and its company's name.
struct MakerBlock
{
    quint64 prefix;
    QString name;
};

// The MA-M blocks (28-bit prefixes) and the MA-S and IAB blocks (36-bit),
// each sorted by prefix, one entry per prefix.
struct MakerBlocks
{
    std::vector<MakerBlock> medium;
    std::vector<MakerBlock> small;

    bool empty() const { return medium.empty() && small.empty(); }
};

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
void ParseMakerBlocks(QByteArrayView listing, MakerBlocks &blocks);

// Reads the listing at path (a resource path such as ":/res/mam.txt") into
// blocks. An unreadable file adds nothing.
void LoadMakerBlockListing(const QString &path, MakerBlocks &blocks);

// The three listings of smaller blocks that the program carries.
void LoadMakerBlocks(MakerBlocks &blocks);

// The maker cell of a MAC address.
struct Maker
{
    QString name;                     // the maker's name, "(adresse locale)", or empty
    bool locallyAdministered = false; // name is "(adresse locale)"
};

// The maker of the card with this MAC. The longest assigned prefix wins: a
// 36-bit block (MA-S, IAB), else a 28-bit one (MA-M), else the OUI in
// vendors under its vendor key (the first three bytes as six upper-case
// hexadecimal digits). The blocks need the first four and a half bytes, so
// a MAC shorter than five bytes, and a group address, is looked up by its
// OUI only. A MAC of fewer than three bytes has no maker. A unicast MAC that
// no listing holds and whose first byte has the 0x02 bit set was made up
// locally (often at random, by a phone or a tablet, or for a virtual
// machine): its maker is "(adresse locale)".
Maker LookupMaker(const VendorTable &vendors, const MakerBlocks &blocks,
                  const std::vector<unsigned char> &mac);
