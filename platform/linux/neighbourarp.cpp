// Resolution through the kernel's neighbour table, for processes that may not
// open a packet socket: one UDP datagram makes the kernel send the ARP
// request, and rtnetlink tells what came of it.

#include "platform/linux/neighbourarp.h"
#include "platform/linux/entrybudget.h"
#include "platform/linux/netlinkmessages.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
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

// How often the entry is read again while the kernel resolves it, should a
// change notice have been lost.
constexpr std::chrono::milliseconds kRequery{200};
// How long a look at the entry waits for the kernel's answer.
constexpr std::chrono::milliseconds kLookWait{250};
// How long a resolution keeps retrying while the table is full.
constexpr std::chrono::seconds kOverflowPatience{10};
constexpr std::chrono::milliseconds kOverflowPause{100};

// One NETLINK_ROUTE socket that hears about one address only.
class NeighbourWatch
{
public:
    NeighbourWatch(const LinkInterface &watched, uint32_t asked) : link(watched), address(asked) {}

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
            const timespec timeout = TimeLeft(std::min({until, nextAsk, now + kStopPoll}));
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
