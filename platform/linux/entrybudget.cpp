// The lease on neighbour entries that keeps a burst of resolutions from
// filling the kernel's table, sized and timed from the kernel's own settings.

#include "platform/linux/entrybudget.h"
#include "platform/linux/linuxlinks.h"
#include "platform/linux/netlinkmessages.h"

#include <algorithm>
#include <fstream>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

namespace platform::linuxarp {

namespace {

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
        const timespec timeout = TimeLeft(until);
        if (::ppoll(&waiting, 1, &timeout, nullptr) <= 0)
            continue;
        alignas(nlmsghdr) uint8_t buffer[16384];
        const ssize_t size = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (size <= 0)
            continue;
        if (!threshold)
            threshold = ScanTableThreshold(buffer, static_cast<std::size_t>(size));
        done = EndsDump(buffer, static_cast<std::size_t>(size));
    }
    return threshold;
}

} // namespace

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

EntryBudget::EntryBudget(std::size_t entries)
    : maximum(std::max<std::size_t>(entries, 1)), capacity(maximum)
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
        for (const auto &held : leases)
            until = std::min(until, held.second);
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

} // namespace platform::linuxarp
