#include "platform/neighbourreads.h"

#include "platform/routechoice.h"
#include "platform/sendarp.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace platform::neighbours {

namespace {

bool HoldsHardwareAddress(NeighbourState state)
{
    switch (state) {
    case NeighbourState::Probe:
    case NeighbourState::Delay:
    case NeighbourState::Stale:
    case NeighbourState::Reachable:
    case NeighbourState::Permanent:
        return true;
    default:
        return false; // unreachable, incomplete, or a state this code does not know
    }
}

std::uint64_t Key(quint32 address, quint32 interfaceIndex)
{
    return (std::uint64_t(address) << 32) | interfaceIndex;
}

} // namespace

bool RowAnswers(const NeighbourRow &row, quint32 address, quint32 interfaceIndex,
                HardwareAddress *mac)
{
    if (row.address != address || row.interfaceIndex != interfaceIndex ||
        HasNoHardwareAddress(address))
        return false;
    if (!HoldsHardwareAddress(row.state) || row.markedUnreachable)
        return false;
    const quint32 length = row.length;
    if (length < 6 || length > row.bytes.size())
        return false;
    const unsigned char *bytes = row.bytes.data();
    // The group bit: a multicast or broadcast hardware address is no host's.
    if (bytes[0] & 0x01)
        return false;
    if (std::all_of(bytes, bytes + length, [](unsigned char byte) { return byte == 0; }))
        return false;
    std::copy(bytes, bytes + length, mac->bytes.begin());
    mac->length = length;
    return true;
}

NeighbourReads::NeighbourReads(TableRead tableRead, Clock::duration readInterval)
    : read(std::move(tableRead)), interval(readInterval)
{
}

bool NeighbourReads::Stopped(const Waiter &waiter) const
{
    return waiter.stop && waiter.stop->load();
}

bool NeighbourReads::Await(quint32 address, quint32 interfaceIndex, Clock::time_point until,
                           HardwareAddress *mac, const std::function<void()> &ask)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto self = waiters.emplace(waiters.end());
    self->address = address;
    self->interfaceIndex = interfaceIndex;
    self->readsBefore = readsBegun;
    self->until = until;
    self->stop = platform::StopFlag();
    for (;;) {
        if (self->answered || Stopped(*self))
            break;
        if (self->unasked) {
            self->unasked = false;
            lock.unlock();
            ask();
            lock.lock();
            continue;
        }
        const Clock::time_point now = Clock::now();
        // A read under way that began after this call may still answer.
        const bool readMayAnswer = reading && readsBegun > self->readsBefore;
        if (now >= until && !(readMayAnswer && now < until + kReadGrace))
            break;
        if (!reader)
            reader = &*self;
        if (reader == &*self && now >= nextRead) {
            reading = true;
            const std::uint64_t number = ++readsBegun;
            nextRead = now + interval;
            lock.unlock();
            std::vector<NeighbourRow> rows;
            if (!read(&rows))
                rows.clear();
            lock.lock();
            reading = false;
            Serve(rows, number, &*self);
            continue;
        }
        Clock::time_point wake = now < until ? until : until + kReadGrace;
        if (reader == &*self)
            wake = std::min(wake, nextRead);
        self->wake.wait_until(lock, wake);
    }
    if (reader == &*self)
        reader = nullptr;
    if (!reader) {
        // One that still waits takes the reader's part: not one that is
        // woken to leave, which would leave the rest without reads. Those
        // asked to stop, whom no read will now wake, leave.
        const Clock::time_point now = Clock::now();
        bool handedOver = false;
        for (Waiter &waiter : waiters) {
            if (&waiter == &*self || waiter.answered)
                continue;
            if (Stopped(waiter)) {
                waiter.wake.notify_one();
            } else if (!handedOver && now < waiter.until) {
                waiter.wake.notify_one();
                handedOver = true;
            }
        }
    }
    const bool answered = self->answered;
    if (answered)
        *mac = self->mac;
    waiters.erase(self);
    return answered;
}

void NeighbourReads::Serve(const std::vector<NeighbourRow> &rows, std::uint64_t number,
                           Waiter *self)
{
    std::unordered_map<std::uint64_t, HardwareAddress> answers;
    std::unordered_set<std::uint64_t> listed;
    for (const NeighbourRow &row : rows) {
        HardwareAddress mac;
        listed.insert(Key(row.address, row.interfaceIndex));
        if (RowAnswers(row, row.address, row.interfaceIndex, &mac))
            answers.emplace(Key(row.address, row.interfaceIndex), mac);
    }
    const Clock::time_point now = Clock::now();
    for (Waiter &waiter : waiters) {
        if (waiter.answered || waiter.readsBefore >= number)
            continue;
        const std::uint64_t key = Key(waiter.address, waiter.interfaceIndex);
        const auto found = answers.find(key);
        if (found != answers.end()) {
            waiter.mac = found->second;
            waiter.answered = true;
        } else if (!listed.count(key) && !rows.empty()) {
            waiter.unasked = true;
        }
        // Woken to leave (answered, past its time, asked to stop) or to ask
        // again; the reader goes on by itself.
        if (&waiter != self &&
            (waiter.answered || waiter.unasked || now >= waiter.until || Stopped(waiter)))
            waiter.wake.notify_one();
    }
}

} // namespace platform::neighbours
