// The readers of the answers that hosts send about their own names: a
// multicast DNS response (first byte even) or a NetBIOS node status response
// (odd), from the byte after it on. Whatever name they hand back keeps the
// rule of network/namerule.h; a refusal says why.
#include "network/namepackets.h"

#include <cstdlib>

using namespace namepackets;
using namerule::NameFault;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t *packet = data + 1;
    const std::size_t length = size - 1;
    // Whatever id the packet carries is the one asked, so that the rest of
    // it is read.
    const auto id = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
    std::string name;
    NameFault fault = NameFault::None;
    bool read = false;
    if (data[0] % 2 == 0) {
        // The address of the seeds: 198.51.100.20.
        read = ParseMdnsReverseAnswer(packet, length, 0xC6336414u, id, &name, &fault);
    } else {
        read = ParseNetbiosStatus(packet, length, id, &name, &fault);
        // Fifteen Latin-1 characters, two bytes each at most in UTF-8.
        if (read && name.size() > 30)
            std::abort();
    }
    if (read && (fault != NameFault::None || namerule::CheckName(name) != NameFault::None))
        std::abort();
    if (!read && !name.empty())
        std::abort(); // nothing handed back with a refusal
    return 0;
}
