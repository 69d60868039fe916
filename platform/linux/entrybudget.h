#pragma once

// How many neighbour entries this process may keep pinned in the kernel's
// table at once, and for how long each stays pinned.

#include "platform/linux/arpbasics.h"

#include <cstddef>
#include <deque>
#include <map>
#include <string>

namespace platform::linuxarp {

// The kernel's timing for the neighbour entries of one interface: how long
// an entry that our datagram created stays pinned in the table (it cannot be
// reclaimed while unresolved, nor for a while once resolved), and how soon
// the kernel repeats its own request.
struct NeighbourTimings
{
    Clock::duration unresolved;
    Clock::duration resolved;
    Clock::duration retransmit;
};
NeighbourTimings ReadNeighbourTimings(const std::string &ifname);

// Bounds the neighbour entries that resolutions of this process keep pinned
// in the kernel's table. The table is shared by the whole machine and holds
// at most gc_thresh3 entries; an entry still being resolved cannot be
// reclaimed, so a burst of a thousand resolutions would fill it and make
// later ones fail as if nobody answered. Each new entry takes a lease here
// that lasts as long as the kernel keeps the entry pinned; callers queue in
// arrival order while the leases are all taken.
class EntryBudget
{
public:
    explicit EntryBudget(std::size_t entries);

    using Ticket = uint64_t;

    // Blocks until a lease is free, then takes it for `lease`. Returns 0,
    // with no lease taken, when the calling thread is asked to stop.
    Ticket Acquire(Clock::duration lease);
    // Moves a lease's end; a time in the past gives it back.
    void Hold(Ticket ticket, Clock::time_point until);
    // The table overflowed anyway (other programs use it too): fewer leases
    // until the overflow has been out of sight for a while.
    void Overflowed();

    std::size_t Capacity() const;
    std::size_t InUse() const;

    // The one budget of this process, sized from the kernel's threshold.
    static EntryBudget &Instance();

private:
    struct Waiter
    {
        std::condition_variable wake;
    };

    void Expire(Clock::time_point now);
    void WakeFirst();

    mutable std::mutex mutex;
    const std::size_t maximum;
    std::size_t capacity;
    Clock::time_point lastOverflow{};
    Ticket nextTicket = 1;
    std::map<Ticket, Clock::time_point> leases;
    std::deque<Waiter *> queue;
};

} // namespace platform::linuxarp
