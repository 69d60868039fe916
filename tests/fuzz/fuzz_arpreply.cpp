// The ARP reply parser of the packet path, on any frame. The first four
// bytes are the address the reply is expected from, the rest the frame.
#include "platform/linuxarp.h"

#include <cstdlib>
#include <cstring>

using namespace platform::linuxarp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    uint32_t senderIp;
    std::memcpy(&senderIp, data, 4);
    const uint8_t *frame = data + 4;
    const std::size_t frameSize = size - 4;
    MacAddress mac{};
    if (ParseArpReply(frame, frameSize, senderIp, &mac)) {
        // An accepted reply is a whole ARP packet from that sender, and the
        // address handed back is its sender hardware address.
        if (frameSize < kArpPacketSize || std::memcmp(frame + 14, &senderIp, 4) != 0 ||
            std::memcmp(frame + 8, mac.data(), mac.size()) != 0)
            std::abort();
    }
    return 0;
}
