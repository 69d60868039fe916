// The reader of SSDP replies and the check of the location they name: a
// location it lets through is on the replying host, in plain HTTP, with a
// path that can go into a request line as it is.
#include "identify/ssdp.h"

#include <cstdlib>

using namespace identify::ssdp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), qsizetype(size));
    Reply reply;
    if (!ParseReply(datagram, &reply))
        return 0;
    if (datagram.size() > kMaxReplyBytes || reply.location.isEmpty())
        std::abort();
    // The seeds' replying host: 198.51.100.20.
    Location where;
    if (!CheckLocation(reply.location, 0xC6336414u, &where))
        return 0;
    if (!reply.location.toLower().startsWith("http://198.51.100.20") || where.port == 0 ||
        !where.path.startsWith('/') || where.path.size() > kMaxPathBytes)
        std::abort();
    for (const char c : where.path)
        if (c <= ' ' || c >= 0x7F)
            std::abort();
    return 0;
}
