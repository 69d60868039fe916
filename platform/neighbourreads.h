#pragma once

// Resolution through the IP stack's neighbour table, where SendARP itself
// cannot answer (Wine's is a stub): a datagram makes the stack resolve the
// address, and a read of the table tells what came of it. One read of the
// table serves every resolution waiting at that moment. The rows here are
// the platform's own turned into NeighbourRow (platform/windows/), so that
// what counts and how the reads are shared need no Windows.

#include <QtGlobal>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

namespace platform::neighbours {

using Clock = std::chrono::steady_clock;

// A read of the table that began before a resolution's time and can answer
// is waited for, up to kReadGrace more: under Wine one read of a /24's
// table takes 30 to 50 ms, and several hundred while a scan loads the
// machine.
constexpr std::chrono::milliseconds kReadGrace{1000};
// How often the table is read while resolutions wait.
constexpr std::chrono::milliseconds kReadInterval{100};
// The most rows one read takes in; a table is a few hundred rows (Linux
// keeps at most 1,024 by default), whatever answers on the network.
constexpr std::size_t kMaxRows = 65536;
// The longest hardware address a row holds (IF_MAX_PHYS_ADDRESS_LENGTH).
constexpr std::size_t kMaxHardwareLength = 32;

struct HardwareAddress
{
    std::array<unsigned char, kMaxHardwareLength> bytes{};
    quint32 length = 0;
};

// The states of a row, as the stack names them.
enum class NeighbourState
{
    Unreachable,
    Incomplete,
    Probe,
    Delay,
    Stale,
    Reachable,
    Permanent,
    Unknown // one this code does not know
};

// One IPv4 row of the table.
struct NeighbourRow
{
    quint32 address = 0; // network byte order
    quint32 interfaceIndex = 0;
    NeighbourState state = NeighbourState::Unknown;
    bool markedUnreachable = false;
    quint32 length = 0; // of the hardware address, as the row says
    std::array<unsigned char, kMaxHardwareLength> bytes{};
};

// Whether `row` gives the hardware address of `address` (network byte
// order) on the interface `interfaceIndex`: a row of that address and
// interface, in a state that holds a hardware address and not marked
// unreachable, with a unicast address of at least six bytes that are not
// all zero. Multicast and broadcast rows never count.
bool RowAnswers(const NeighbourRow &row, quint32 address, quint32 interfaceIndex,
                HardwareAddress *mac);

// Reads the whole IPv4 table into `rows` (at most kMaxRows); false when it
// cannot be read.
using TableRead = std::function<bool(std::vector<NeighbourRow> *rows)>;

// Resolutions waiting on the table. One of them, the reader, reads it once
// every `readInterval` and hands every other its answer; they sleep until
// then, since under Wine every wake-up is a call into its server. The reader
// also ends the waits of threads asked to stop (platform::StopFlag).
class NeighbourReads
{
public:
    NeighbourReads(TableRead tableRead, Clock::duration readInterval);

    // Waits for a read begun after this call that gives the hardware address
    // of `address` on `interfaceIndex`, until `until` (or the end of a read
    // under way then, at most kReadGrace later) or until the calling thread
    // is asked to stop. Calls `ask` again, from the calling thread, after a
    // read that holds no row at all for the address: the question was lost
    // (on Linux, when the neighbour table, one for the whole machine, is
    // full, the datagram is dropped without a word).
    bool Await(quint32 address, quint32 interfaceIndex, Clock::time_point until,
               HardwareAddress *mac, const std::function<void()> &ask);

private:
    struct Waiter
    {
        quint32 address = 0;
        quint32 interfaceIndex = 0;
        std::uint64_t readsBefore = 0; // reads begun before it came
        Clock::time_point until{};
        const std::atomic<bool> *stop = nullptr;
        bool answered = false;
        bool unasked = false; // a read found no row for it
        HardwareAddress mac;
        std::condition_variable wake;
    };

    bool Stopped(const Waiter &waiter) const;
    void Serve(const std::vector<NeighbourRow> &rows, std::uint64_t read, Waiter *self);

    const TableRead read;
    const Clock::duration interval;
    std::mutex mutex;
    std::list<Waiter> waiters;
    Waiter *reader = nullptr;
    std::uint64_t readsBegun = 0;
    bool reading = false;
    Clock::time_point nextRead{};
};

} // namespace platform::neighbours
