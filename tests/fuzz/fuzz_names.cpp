// The readers of the answers that hosts send about their own names: a
// multicast DNS response (first byte even) or a NetBIOS node status response
// (odd), from the byte after it on.
#include "network/namepackets.h"

#include <cstdlib>

using namespace namepackets;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t *packet = data + 1;
    const std::size_t length = size - 1;
    std::string name;
    if (data[0] % 2 == 0) {
        // The address of the seeds: 198.51.100.20.
        if (ParseMdnsReverseAnswer(packet, length, 0xC6336414u, &name) &&
            (name.empty() || name.size() > 255))
            std::abort();
    } else if (length >= 2) {
        const auto id = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
        if (ParseNetbiosStatus(packet, length, id, &name) && (name.empty() || name.size() > 15))
            std::abort();
    }
    return 0;
}
