// Resolution through the kernel's neighbour table, for processes that may not
// open a packet socket: one UDP datagram makes the kernel send the ARP
// request, and rtnetlink tells what came of it.

#include "platform/linuxarp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace platform::linuxarp {

namespace {

// Offsets in a neighbour message: the netlink header, the ndmsg, then the
// first attribute, which the kernel always makes NDA_DST.
constexpr unsigned kTypeAt = 4;
constexpr unsigned kFamilyAt = NLMSG_HDRLEN;
constexpr unsigned kFirstAttributeAt = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg));
constexpr unsigned kFirstAttributeTypeAt = kFirstAttributeAt + 2;
constexpr unsigned kFirstAttributeDataAt = kFirstAttributeAt + RTA_LENGTH(0);

// How often the entry is read again while the kernel resolves it, should a
// change notice have been lost.
constexpr std::chrono::milliseconds kRequery{200};
// How long a look at the entry waits for the kernel's answer.
constexpr std::chrono::milliseconds kLookWait{250};
// How long a resolution keeps retrying while the table is full.
constexpr std::chrono::seconds kOverflowPatience{10};
constexpr std::chrono::milliseconds kOverflowPause{100};

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

timespec Timeout(Clock::time_point until)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
    timespec timeout{};
    if (left > 0) {
        timeout.tv_sec = static_cast<time_t>(left / 1000000000);
        timeout.tv_nsec = static_cast<long>(left % 1000000000);
    }
    return timeout;
}

long ReadNumber(const std::string &path, long fallback)
{
    std::ifstream file(path);
    long value = 0;
    if (file >> value)
        return value;
    return fallback;
}

uint32_t ReadTableThreshold()
{
    FileDescriptor socket(
        OpenSocket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!socket.valid())
        return 0;
    struct
    {
        nlmsghdr header;
        ndtmsg table;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndtmsg));
    request.header.nlmsg_type = RTM_GETNEIGHTBL;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.table.ndtm_family = AF_INET;
    if (::send(socket.get(), &request, request.header.nlmsg_len, 0) < 0)
        return 0;

    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(500);
    uint32_t threshold = 0;
    bool done = false;
    while (!done && Clock::now() < until) {
        pollfd waiting{socket.get(), POLLIN, 0};
        const timespec timeout = Timeout(until);
        if (::ppoll(&waiting, 1, &timeout, nullptr) <= 0)
            continue;
        alignas(nlmsghdr) uint8_t buffer[16384];
        const ssize_t size = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (size <= 0)
            continue;
        if (!threshold)
            threshold = ScanTableThreshold(buffer, static_cast<std::size_t>(size));
        ForEachMessage(buffer, static_cast<std::size_t>(size),
                       [&](const nlmsghdr &header, const uint8_t *, std::size_t) {
                           if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR)
                               done = true;
                       });
    }
    return threshold;
}

// One NETLINK_ROUTE socket that hears about one address only.
class NeighbourWatch
{
public:
    NeighbourWatch(const LinkInterface &link, uint32_t address) : link(link), address(address) {}

    bool Open()
    {
        socket = std::make_unique<FileDescriptor>(
            OpenSocket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (!socket->valid())
            return false;
        // The kernel drops notices about other addresses before they reach
        // us: hundreds of watchers during a scan would otherwise each copy
        // every change of the table.
        std::vector<sock_filter> program = NeighbourFilter(address);
        sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
        if (::setsockopt(socket->get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
            return false;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_NEIGH;
        return ::bind(socket->get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
    }

    enum class Verdict
    {
        Resolved,
        Failed,
        Unresolved,
        Unknown
    };

    // Reads the entry's state until `until`. Returns at once on a hardware
    // address; on a failed or missing entry once the kernel says so in
    // answer to a query; with `firstAnswer`, on whatever the first answer
    // says.
    Verdict Watch(Clock::time_point until, bool firstAnswer, MacAddress *mac)
    {
        Verdict verdict = Verdict::Unknown;
        Ask();
        Clock::time_point nextAsk = Clock::now() + kRequery;
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (now >= until || StopRequested())
                return verdict;
            if (now >= nextAsk) {
                Ask();
                nextAsk = now + kRequery;
            }
            pollfd waiting{socket->get(), POLLIN, 0};
            const timespec timeout = Timeout(std::min({until, nextAsk, now + kStopPoll}));
            const int ready = ::ppoll(&waiting, 1, &timeout, nullptr);
            if (ready <= 0)
                continue;
            alignas(nlmsghdr) uint8_t buffer[4096];
            const ssize_t size = ::recv(socket->get(), buffer, sizeof buffer, 0);
            if (size < 0) {
                // ENOBUFS: notices were lost; read the entry again.
                if (errno == ENOBUFS)
                    nextAsk = Clock::now();
                continue;
            }
            NeighbourReport report;
            ScanNeighbourMessages(buffer, static_cast<std::size_t>(size), link.index, address,
                                  sequence, &report);
            if (report.mentioned)
                lastState = report.state;
            if (report.mentioned && report.hasMac && IsResolvedState(report.state)) {
                *mac = report.mac;
                return Verdict::Resolved;
            }
            if (report.replied) {
                const bool gone =
                    report.error == ENOENT || (report.mentioned && (report.state & NUD_FAILED));
                if (gone)
                    verdict = Verdict::Failed;
                else if (report.mentioned)
                    verdict = Verdict::Unresolved;
                if (firstAnswer || gone)
                    return verdict;
            } else if (report.mentioned) {
                // A notice without an address: ask what holds now, since it
                // may be older than our datagram.
                nextAsk = Clock::now();
            }
        }
    }

    // The state the entry was last seen in (NUD_*), 0 if never.
    uint16_t State() const { return lastState; }

private:
    void Ask()
    {
        ++sequence;
        const std::vector<uint8_t> query = BuildNeighbourQuery(link.index, address, sequence);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ::sendto(socket->get(), query.data(), query.size(), 0,
                 reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel);
    }

    const LinkInterface &link;
    const uint32_t address;
    std::unique_ptr<FileDescriptor> socket;
    uint32_t sequence = 0;
    uint16_t lastState = 0;
};

// Sends one empty datagram to the discard port, which makes the kernel
// resolve the address. Returns 0 or the errno of the failure.
int SendDatagram(const LinkInterface &link, uint32_t destIp)
{
    FileDescriptor socket(OpenSocket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid())
        return errno;
    // Without IP_RECVERR the kernel hides a full neighbour table from UDP
    // senders: the datagram is dropped and sendto succeeds.
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    // Keeps the datagram on the interface whose entry we read; kernels
    // before 5.7 refuse this to unprivileged processes, and routing decides.
    ::setsockopt(socket.get(), SOL_SOCKET, SO_BINDTODEVICE, link.name.c_str(),
                 static_cast<socklen_t>(link.name.size()));
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(9);
    target.sin_addr.s_addr = destIp;
    const char nothing = 0;
    if (::sendto(socket.get(), &nothing, 0, 0, reinterpret_cast<const sockaddr *>(&target),
                 sizeof target) < 0)
        return errno;
    return 0;
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
    std::vector<uint8_t> query(NLMSG_LENGTH(sizeof(ndmsg)) + RTA_LENGTH(sizeof address), 0);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(query.size());
    header.nlmsg_type = RTM_GETNEIGH;
    header.nlmsg_flags = NLM_F_REQUEST;
    header.nlmsg_seq = sequence;
    std::memcpy(query.data(), &header, sizeof header);
    ndmsg neighbour{};
    neighbour.ndm_family = AF_INET;
    neighbour.ndm_ifindex = ifindex;
    std::memcpy(query.data() + NLMSG_HDRLEN, &neighbour, sizeof neighbour);
    rtattr destination{};
    destination.rta_len = RTA_LENGTH(sizeof address);
    destination.rta_type = NDA_DST;
    std::memcpy(query.data() + kFirstAttributeAt, &destination, sizeof destination);
    std::memcpy(query.data() + kFirstAttributeDataAt, &address, sizeof address);
    return query;
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

NeighbourTimings ReadNeighbourTimings(const std::string &ifname)
{
    using std::chrono::milliseconds;
    const std::string folder = "/proc/sys/net/ipv4/neigh/" + ifname + "/";
    const long multicastProbes = ReadNumber(folder + "mcast_solicit", 3);
    const long applicationProbes = ReadNumber(folder + "app_solicit", 0);
    const milliseconds retransmit(ReadNumber(folder + "retrans_time_ms", 1000));
    const milliseconds reachable(ReadNumber(folder + "base_reachable_time_ms", 30000));

    NeighbourTimings timings;
    timings.retransmit = retransmit;
    // Unresolved: one request every retransmit period until the probes run
    // out, then FAILED, which the kernel may reclaim at once.
    timings.unresolved = (multicastProbes + applicationProbes) * retransmit + milliseconds(500);
    // Resolved: REACHABLE for up to 1.5 times the base time, then STALE,
    // which the kernel spares for another 5 seconds.
    timings.resolved = reachable * 3 / 2 + milliseconds(6000);
    return timings;
}

EntryBudget::EntryBudget(std::size_t capacity)
    : maximum(std::max<std::size_t>(capacity, 1)), capacity(maximum)
{
}

EntryBudget::Ticket EntryBudget::Acquire(Clock::duration lease)
{
    // After an overflow, one more lease per admission once it has been quiet
    // for this long.
    constexpr auto recovery = std::chrono::seconds(5);

    std::unique_lock<std::mutex> lock(mutex);
    Waiter self;
    queue.push_back(&self);
    for (;;) {
        const Clock::time_point now = Clock::now();
        Expire(now);
        const bool first = queue.front() == &self;
        if (first) {
            if (capacity < maximum && now - lastOverflow > recovery)
                ++capacity;
            if (leases.size() < capacity)
                break;
        }
        if (StopRequested()) {
            queue.erase(std::find(queue.begin(), queue.end(), &self));
            if (first)
                WakeFirst();
            return 0;
        }
        Clock::time_point until = now + kStopPoll;
        for (const auto &lease : leases)
            until = std::min(until, lease.second);
        self.wake.wait_until(lock, first ? until : now + kStopPoll);
    }
    queue.pop_front();
    const Ticket ticket = nextTicket++;
    leases.emplace(ticket, Clock::now() + lease);
    WakeFirst();
    return ticket;
}

void EntryBudget::Hold(Ticket ticket, Clock::time_point until)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = leases.find(ticket);
    if (found == leases.end())
        return;
    if (until <= Clock::now())
        leases.erase(found);
    else
        found->second = until;
    WakeFirst();
}

void EntryBudget::Overflowed()
{
    constexpr std::size_t minimum = 8;
    std::lock_guard<std::mutex> lock(mutex);
    lastOverflow = Clock::now();
    const std::size_t shrunk = std::min(capacity, leases.size()) * 3 / 4;
    capacity = std::min(maximum, std::max(minimum, shrunk));
}

std::size_t EntryBudget::Capacity() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return capacity;
}

std::size_t EntryBudget::InUse() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return leases.size();
}

void EntryBudget::Expire(Clock::time_point now)
{
    for (auto lease = leases.begin(); lease != leases.end();) {
        if (lease->second <= now)
            lease = leases.erase(lease);
        else
            ++lease;
    }
}

void EntryBudget::WakeFirst()
{
    if (!queue.empty())
        queue.front()->wake.notify_one();
}

EntryBudget &EntryBudget::Instance()
{
    // Half the table: the rest stays for the machine's own traffic and for
    // other programs.
    static EntryBudget budget([] {
        const uint32_t threshold = ReadTableThreshold();
        return (threshold ? threshold : 1024) / 2;
    }());
    return budget;
}

Outcome NeighbourResolve(const LinkInterface &link, uint32_t destIp, MacAddress *mac)
{
    using Verdict = NeighbourWatch::Verdict;
    {
        // An entry the kernel holds already answers without a request. The
        // socket is closed again before queueing for a lease, so that calls
        // waiting their turn hold no socket.
        NeighbourWatch look(link, destIp);
        if (!look.Open())
            return Outcome::Failed;
        if (look.Watch(Clock::now() + kLookWait, true, mac) == Verdict::Resolved) {
            // A STALE entry can outlive its host for good: a machine with few
            // neighbours never collects them. The datagram makes the kernel
            // check it again, so a host that has left is gone by the next scan.
            if (look.State() & NUD_STALE)
                SendDatagram(link, destIp);
            return Outcome::Answered;
        }
        if (StopRequested())
            return Outcome::NoAnswer;
    }

    const NeighbourTimings timings = ReadNeighbourTimings(link.name);
    EntryBudget &budget = EntryBudget::Instance();
    Clock::time_point overflowGiveUp = Clock::time_point::max();
    std::unique_ptr<NeighbourWatch> watch;
    EntryBudget::Ticket ticket = 0;
    for (;;) {
        ticket = budget.Acquire(timings.unresolved);
        if (ticket == 0)
            return Outcome::NoAnswer; // asked to stop while queueing
        // Listening starts before the datagram leaves, so that no notice is
        // missed; and the queue may have been long: someone else may have
        // resolved the address meanwhile.
        watch = std::make_unique<NeighbourWatch>(link, destIp);
        if (!watch->Open()) {
            budget.Hold(ticket, Clock::now());
            return Outcome::Failed;
        }
        if (watch->Watch(Clock::now() + kLookWait, true, mac) == Verdict::Resolved) {
            budget.Hold(ticket, Clock::now());
            return Outcome::Answered;
        }
        if (StopRequested()) {
            budget.Hold(ticket, Clock::now());
            return Outcome::NoAnswer;
        }
        const int error = SendDatagram(link, destIp);
        if (error == 0)
            break;
        watch.reset();
        budget.Hold(ticket, Clock::now()); // no entry was made
        // ENOBUFS, or EINVAL from kernels before 6.5: the table is full.
        if (error != ENOBUFS && error != EINVAL)
            return Outcome::NoAnswer;
        budget.Overflowed();
        const Clock::time_point now = Clock::now();
        if (overflowGiveUp == Clock::time_point::max())
            overflowGiveUp = now + kOverflowPatience;
        else if (now >= overflowGiveUp)
            return Outcome::Failed;
        std::this_thread::sleep_for(kOverflowPause);
    }

    // The kernel repeats its request after the retransmit period; waiting a
    // little past it finds a host that missed the first one.
    const Clock::duration wait = std::clamp<Clock::duration>(
        timings.retransmit + std::chrono::milliseconds(200), kAnswerWait, 2 * kAnswerWait);
    switch (watch->Watch(Clock::now() + wait, false, mac)) {
    case Verdict::Resolved:
        budget.Hold(ticket, Clock::now() + timings.resolved);
        return Outcome::Answered;
    case Verdict::Failed:
        budget.Hold(ticket, Clock::now()); // a failed entry may be reclaimed
        return Outcome::NoAnswer;
    case Verdict::Unresolved:
    case Verdict::Unknown:
        break; // the lease runs out with the kernel's attempts
    }
    return Outcome::NoAnswer;
}

} // namespace platform::linuxarp
