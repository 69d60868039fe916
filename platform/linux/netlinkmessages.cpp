// The rtnetlink messages of the neighbour-table path: what we send the
// kernel, and what we read from what it sends back. Nothing here does I/O.

#include "platform/linux/netlinkmessages.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

namespace platform::linuxarp {

namespace {

// Offsets in a neighbour message: the netlink header, the ndmsg, then the
// first attribute, which the kernel always makes NDA_DST.
constexpr unsigned kTypeAt = 4;
constexpr unsigned kFamilyAt = NLMSG_HDRLEN;
constexpr unsigned kFirstAttributeAt = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg));
constexpr unsigned kFirstAttributeTypeAt = kFirstAttributeAt + 2;
constexpr unsigned kFirstAttributeDataAt = kFirstAttributeAt + RTA_LENGTH(0);

// The errno of an NLMSG_ERROR: the kernel sends it negated, 0 for an
// acknowledgement. A code it never sends (positive, or past the errno range,
// INT_MIN among them) reads as a protocol error.
int ErrorNumber(int code)
{
    constexpr int kLargestErrno = 4095;
    if (code == 0)
        return 0;
    if (code < 0 && code >= -kLargestErrno)
        return -code;
    return EPROTO;
}

template <typename T> bool Read(const uint8_t *data, std::size_t size, std::size_t offset, T *value)
{
    if (offset > size || size - offset < sizeof(T))
        return false;
    std::memcpy(value, data + offset, sizeof(T));
    return true;
}

// Calls visit(type, data, length) for each attribute in [data, data + size).
template <typename Visit> void ForEachAttribute(const uint8_t *data, std::size_t size, Visit visit)
{
    std::size_t offset = 0;
    rtattr attribute;
    while (Read(data, size, offset, &attribute)) {
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - offset)
            return;
        visit(attribute.rta_type & NLA_TYPE_MASK, data + offset + RTA_LENGTH(0),
              static_cast<std::size_t>(attribute.rta_len - RTA_LENGTH(0)));
        offset += RTA_ALIGN(attribute.rta_len);
    }
}

// Calls visit(header, body, bodySize) for each message of a datagram.
template <typename Visit> void ForEachMessage(const uint8_t *data, std::size_t size, Visit visit)
{
    std::size_t offset = 0;
    nlmsghdr header;
    while (Read(data, size, offset, &header)) {
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - offset)
            return;
        visit(header, data + offset + NLMSG_HDRLEN,
              static_cast<std::size_t>(header.nlmsg_len - NLMSG_HDRLEN));
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
}

// A neighbour request of one family on one interface, with one 4-byte
// attribute (the address asked for, or the interface a dump keeps to).
std::vector<uint8_t> NeighbourRequest(uint8_t family, int ifindex, uint16_t flags,
                                      uint32_t sequence, uint16_t attribute, uint32_t value)
{
    std::vector<uint8_t> query(NLMSG_LENGTH(sizeof(ndmsg)) + RTA_LENGTH(sizeof value), 0);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(query.size());
    header.nlmsg_type = RTM_GETNEIGH;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    std::memcpy(query.data(), &header, sizeof header);
    ndmsg neighbour{};
    neighbour.ndm_family = family;
    neighbour.ndm_ifindex = ifindex;
    std::memcpy(query.data() + NLMSG_HDRLEN, &neighbour, sizeof neighbour);
    rtattr only{};
    only.rta_len = RTA_LENGTH(sizeof value);
    only.rta_type = attribute;
    std::memcpy(query.data() + kFirstAttributeAt, &only, sizeof only);
    std::memcpy(query.data() + kFirstAttributeDataAt, &value, sizeof value);
    return query;
}

} // namespace

std::vector<sock_filter> NeighbourFilter(uint32_t address)
{
    // Netlink headers are in host byte order and absolute loads read in
    // network order: ntohs/ntohl give the value as the filter sees it.
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(NLMSG_ERROR), 11, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(NLMSG_DONE), 10, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(RTM_NEWNEIGH), 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(RTM_DELNEIGH), 0, 9),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kFamilyAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 0, 7),
        // A message laid out otherwise is left to the parser.
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kFirstAttributeTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(NDA_DST), 0, 4),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kFirstAttributeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(RTA_LENGTH(4)), 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFirstAttributeDataAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return program;
}

std::vector<uint8_t> BuildNeighbourQuery(int ifindex, uint32_t address, uint32_t sequence)
{
    return NeighbourRequest(AF_INET, ifindex, NLM_F_REQUEST, sequence, NDA_DST, address);
}

void ScanNeighbourMessages(const uint8_t *data, std::size_t size, int ifindex, uint32_t address,
                           uint32_t sequence, NeighbourReport *report)
{
    ForEachMessage(
        data, size, [&](const nlmsghdr &header, const uint8_t *body, std::size_t length) {
            const bool answer = sequence != 0 && header.nlmsg_seq == sequence;
            if (header.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr error;
                if (answer && Read(body, length, 0, &error)) {
                    report->replied = true;
                    report->error = ErrorNumber(error.error);
                }
                return;
            }
            if (header.nlmsg_type != RTM_NEWNEIGH && header.nlmsg_type != RTM_DELNEIGH)
                return;
            ndmsg neighbour;
            const std::size_t attributesAt = NLMSG_ALIGN(sizeof(ndmsg));
            if (!Read(body, length, 0, &neighbour) || length < attributesAt)
                return;
            if (neighbour.ndm_family != AF_INET || neighbour.ndm_ifindex != ifindex)
                return;
            bool ours = false;
            bool hasMac = false;
            MacAddress mac{};
            ForEachAttribute(body + attributesAt, length - attributesAt,
                             [&](unsigned type, const uint8_t *value, std::size_t valueSize) {
                                 if (type == NDA_DST && valueSize == sizeof address) {
                                     ours = std::memcmp(value, &address, sizeof address) == 0;
                                 } else if (type == NDA_LLADDR && valueSize == mac.size()) {
                                     std::memcpy(mac.data(), value, mac.size());
                                     hasMac = true;
                                 }
                             });
            if (!ours)
                return;
            const bool removed = header.nlmsg_type == RTM_DELNEIGH;
            report->mentioned = true;
            report->state = removed ? 0 : neighbour.ndm_state;
            report->hasMac = !removed && hasMac;
            report->mac = mac;
            if (answer) {
                report->replied = true;
                report->error = 0;
            }
        });
}

bool IsResolvedState(uint16_t state)
{
    return (state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT)) != 0;
}

uint32_t ScanTableThreshold(const uint8_t *data, std::size_t size)
{
    uint32_t threshold = 0;
    ForEachMessage(
        data, size, [&](const nlmsghdr &header, const uint8_t *body, std::size_t length) {
            const std::size_t attributesAt = NLMSG_ALIGN(sizeof(ndtmsg));
            if (threshold || header.nlmsg_type != RTM_NEWNEIGHTBL || length < attributesAt)
                return;
            ForEachAttribute(body + attributesAt, length - attributesAt,
                             [&](unsigned type, const uint8_t *value, std::size_t valueSize) {
                                 if (type == NDTA_THRESH3 && valueSize == sizeof threshold)
                                     std::memcpy(&threshold, value, sizeof threshold);
                             });
        });
    return threshold;
}

bool EndsDump(const uint8_t *data, std::size_t size)
{
    bool ends = false;
    ForEachMessage(data, size, [&](const nlmsghdr &header, const uint8_t *, std::size_t) {
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR)
            ends = true;
    });
    return ends;
}

std::vector<uint8_t> BuildIpv6NeighbourDump(int ifindex, uint32_t sequence)
{
    // The kernel then dumps that interface's rows only; the reading checks
    // the interface all the same.
    return NeighbourRequest(AF_INET6, ifindex, NLM_F_REQUEST | NLM_F_DUMP, sequence, NDA_IFINDEX,
                            static_cast<uint32_t>(ifindex));
}

bool ScanIpv6Neighbours(const uint8_t *data, std::size_t size, int ifindex, uint32_t sequence,
                        std::vector<platform::Ipv6Neighbour> *rows, std::size_t maxRows)
{
    bool ends = false;
    ForEachMessage(
        data, size, [&](const nlmsghdr &header, const uint8_t *body, std::size_t length) {
            if (header.nlmsg_seq != sequence)
                return;
            if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
                ends = true;
                return;
            }
            ndmsg neighbour;
            const std::size_t attributesAt = NLMSG_ALIGN(sizeof(ndmsg));
            if (header.nlmsg_type != RTM_NEWNEIGH || rows->size() >= maxRows ||
                !Read(body, length, 0, &neighbour) || length < attributesAt)
                return;
            if (neighbour.ndm_family != AF_INET6 || neighbour.ndm_ifindex != ifindex ||
                (neighbour.ndm_flags & NTF_PROXY) || !IsResolvedState(neighbour.ndm_state))
                return;
            platform::Ipv6Neighbour row;
            bool hasAddress = false;
            bool hasMac = false;
            ForEachAttribute(
                body + attributesAt, length - attributesAt,
                [&](unsigned type, const uint8_t *value, std::size_t valueSize) {
                    if (type == NDA_DST && valueSize == row.address.size()) {
                        std::memcpy(row.address.data(), value, valueSize);
                        hasAddress = true;
                    } else if (type == NDA_LLADDR && valueSize == row.mac.size()) {
                        std::memcpy(row.mac.data(), value, valueSize);
                        hasMac = true;
                    } else if (type == NDA_CACHEINFO && valueSize >= sizeof(nda_cacheinfo)) {
                        nda_cacheinfo times;
                        std::memcpy(&times, value, sizeof times);
                        // In hundredths of a second (USER_HZ).
                        const uint64_t age = uint64_t(times.ndm_updated) * 10;
                        row.age = static_cast<uint32_t>(std::min<uint64_t>(age, UINT32_MAX));
                    }
                });
            if (hasAddress && hasMac)
                rows->push_back(row);
        });
    return ends;
}

} // namespace platform::linuxarp
