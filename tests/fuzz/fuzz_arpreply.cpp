// The ARP reply parser of the packet path, on any frame.
#include "platform/linux/packetarp.h"

#include <cstdlib>
#include <cstring>

using namespace platform::linuxarp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    MacAddress mac{};
    uint32_t sender = 0;
    if (ParseArpReply(data, size, &sender, &mac)) {
        // An accepted reply is a whole ARP packet, and the addresses handed
        // back are its sender's protocol and hardware addresses.
        if (size < kArpPacketSize || std::memcmp(data + 14, &sender, 4) != 0 ||
            std::memcmp(data + 8, mac.data(), mac.size()) != 0)
            std::abort();
    }
    return 0;
}
