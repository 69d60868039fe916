// The resolver helper's request reader, fed what an attacker controlling the
// program's side of the socket pair could send: bytes cut into reads of any
// size. Every request that comes out is judged against a fixed set of
// interfaces, and every reply the helper could give travels whole, a second
// card's included.

#include "platform/linux/resolverprotocol.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <net/if.h>
#include <net/if_arp.h>

using namespace platform;

namespace {

linuxarp::LinkInterface Link(const char *name, int index, uint32_t address, int prefix,
                             unsigned flags)
{
    linuxarp::LinkInterface link;
    link.name = name;
    link.index = index;
    link.flags = flags;
    link.hardwareType = ARPHRD_ETHER;
    link.hardwareAddress = {0x02, 0x54, 0x52, 0x00, 0x00, static_cast<uint8_t>(index)};
    link.addresses.push_back({address, prefix});
    return link;
}

const std::vector<linuxarp::LinkInterface> &Links()
{
    static const std::vector<linuxarp::LinkInterface> links = {
        Link("eth0", 2, htonl(0xC6336401), 24, IFF_UP | IFF_RUNNING), // 198.51.100.1/24
        Link("eth1", 3, htonl(0xC6330001), 16, IFF_UP | IFF_RUNNING), // 198.51.0.1/16
        Link("eth2", 4, htonl(0xCB007101), 31, IFF_UP | IFF_RUNNING), // 203.0.113.1/31
        Link("tun0", 5, htonl(0x0A000001), 8, IFF_UP | IFF_RUNNING | IFF_NOARP),
    };
    return links;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks how the rest is cut into reads.
    const std::size_t step = 1 + data[0] % 29;
    ++data;
    --size;

    resolver::RequestReader reader;
    std::size_t outstanding = 0;
    for (std::size_t at = 0; at < size; at += step) {
        reader.Feed(data + at, std::min(step, size - at));
        resolver::Request request;
        for (;;) {
            const resolver::RequestReader::Status status = reader.Next(&request);
            if (status == resolver::RequestReader::Status::More)
                break;
            if (status == resolver::RequestReader::Status::Refused) {
                if (reader.Reason().empty())
                    std::abort();
                return 0;
            }
            linuxarp::Route route;
            const resolver::Verdict verdict =
                resolver::Judge(request, outstanding, Links(), &route);
            if (verdict == resolver::Verdict::Resolve || verdict == resolver::Verdict::Own ||
                verdict == resolver::Verdict::Echo) {
                if (!route.link || !linuxarp::IsArpCapable(*route.link))
                    std::abort();
                ++outstanding;
            }
            // An echo only by an interface that holds the address.
            if ((verdict == resolver::Verdict::Echo) != (request.echo && route.link && route.own))
                std::abort();
            resolver::Reply reply;
            reply.id = request.id;
            reply.address = request.address;
            reply.echo = request.echo;
            reply.answered =
                verdict == resolver::Verdict::Own || verdict == resolver::Verdict::Echo;
            if (route.link)
                std::copy(route.link->hardwareAddress.begin(), route.link->hardwareAddress.end(),
                          reply.mac.begin());
            if (!reply.answered || reply.echo)
                reply.mac = {};
            const resolver::ReplyBytes bytes = resolver::EncodeReply(reply);
            resolver::Reply back;
            if (!resolver::DecodeReply(bytes.data(), bytes.size(), &back) || back.id != reply.id ||
                back.address != reply.address || back.answered != reply.answered ||
                back.echo != reply.echo || back.mac != reply.mac)
                std::abort();
            // A second card for the address travels whole too, with no id.
            resolver::Reply other;
            other.otherCard = true;
            other.address = request.address;
            std::copy(data, data + std::min<std::size_t>(size, other.mac.size()),
                      other.mac.begin());
            const resolver::ReplyBytes otherBytes = resolver::EncodeReply(other);
            if (!resolver::DecodeReply(otherBytes.data(), otherBytes.size(), &back) ||
                !back.otherCard || back.answered || back.id != 0 || back.address != other.address ||
                back.mac != other.mac)
                std::abort();
        }
    }
    reader.Finish();
    // A reply made of the same bytes is refused or read without harm.
    resolver::Reply reply;
    resolver::DecodeReply(data, std::min<std::size_t>(size, resolver::kReplySize), &reply);
    return 0;
}
