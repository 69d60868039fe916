// The parser of the IEEE's listings of smaller blocks (mam.txt, oui36.txt,
// iab.txt) on arbitrary bytes, and lookups in what it made.
#include "makers/makerlookup.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MakerIndex blocks;
    ParseMakerBlocks(QByteArrayView(data, qsizetype(size)), blocks);
    // Twice into the same tables: every record then replaces its own.
    const size_t count28 = blocks.blocks28.size();
    const size_t count36 = blocks.blocks36.size();
    ParseMakerBlocks(QByteArrayView(data, qsizetype(size)), blocks);
    if (blocks.blocks28.size() != count28 || blocks.blocks36.size() != count36)
        __builtin_trap();
    for (const auto *table : {&blocks.blocks28, &blocks.blocks36})
        for (size_t i = 1; i < table->size(); ++i)
            if ((*table)[i - 1].prefix >= (*table)[i].prefix || (*table)[i].name.isEmpty())
                __builtin_trap();

    // MACs of every length up to seven bytes, taken from the input's start.
    IndexVendors({{QStringLiteral("70B3D5"), QStringLiteral("IEEE")}}, blocks);
    for (size_t length = 0; length <= 7 && length <= size; ++length) {
        const std::vector<unsigned char> mac(data, data + length);
        const Maker maker = LookupMaker(blocks, mac);
        if (maker.locallyAdministered && (length < 3 || (mac[0] & 0x03) != 0x02))
            __builtin_trap();
    }
    return 0;
}
