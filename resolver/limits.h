#pragma once

// The bounds the resolver helper keeps, whoever calls it and however many
// copies of it run: one helper at a time sends on an interface, and never
// faster than the frame budget; one series of requests per address at a
// time, and a fresh answer is given again rather than asked again.

#include "platform/linux/packetarp.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace helper {

using platform::linuxarp::Clock;
using platform::linuxarp::MacAddress;

// The frame budget of one interface: kFrameRate a second, with at most
// kFrameBurst saved up. A helper starts with nothing saved when it takes an
// interface, and only one helper holds it at a time, so that in any second
// the interface carries at most kFrameBurst + kFrameRate frames from all the
// helpers of the machine together: 4,750, under the 5,000 allowed. At four
// requests per silent address that still asks a /16 in under a minute.
constexpr double kFrameRate = 4500;
constexpr double kFrameBurst = 250;

// A helper that waits for an interface tries again every kLockRetry and says
// that it waits. One that keeps sending looks every kHoldQuantum whether
// another waits, and if so gives the interface up and stays away for
// kStandAside, long enough for the other to take it.
constexpr std::chrono::milliseconds kHoldQuantum{1000};
constexpr std::chrono::milliseconds kStandAside{20};
constexpr std::chrono::milliseconds kLockRetry{5};

// How long an answer is given again to whoever asks for the same address.
constexpr std::chrono::milliseconds kAnswerReuse{1000};

// At most one ICMPv6 echo to ff02::1 leaves an interface in any
// kEchoInterval from all the helpers together, however often they are asked:
// a scan asks once.
constexpr std::chrono::milliseconds kEchoInterval{5000};

// A token bucket. Time comes from the caller.
class FrameBudget
{
public:
    FrameBudget(double perSecond, double most);
    // Empty, counting from now.
    void Restart(Clock::time_point now);
    // Spends one frame if there is one.
    bool Take(Clock::time_point now);
    // When the next frame will be there.
    Clock::time_point NextFrame(Clock::time_point now) const;

private:
    void Refill(Clock::time_point now);

    const double rate;
    const double burst;
    double tokens = 0;
    Clock::time_point refilled{};
};

// A lock that any process of the network namespace may take, capability or
// not: an abstract UNIX socket name (interfaces, and so the helpers that
// share one, are per namespace too). The kernel frees it when the holder
// closes it or ends, however it ends. A process that holds it and never lets
// go keeps the helpers from sending: it can stop them, never speed them up.
class AbstractLock
{
public:
    explicit AbstractLock(std::string lockName) : name(std::move(lockName)) {}
    ~AbstractLock();
    AbstractLock(const AbstractLock &) = delete;
    AbstractLock &operator=(const AbstractLock &) = delete;

    // Takes the lock unless another holds it; never blocks.
    bool TryTake();
    void Release();
    bool Held() const { return fd >= 0; }
    // Whether another holds it now.
    bool HeldElsewhere() const;

private:
    std::string name; // without the leading NUL
    int fd = -1;
};

// The name of the lock a helper holds while it sends on the interface, and
// of the one a helper that waits for it holds meanwhile.
std::string SendingLockName(const std::string &ifname);
std::string WaitingLockName(const std::string &ifname);
// The one a helper holds for kEchoInterval after an echo on the interface.
std::string EchoLockName(const std::string &ifname);

// The lock and the budget of every interface the helper sends on, which the
// engine asks before every frame.
class SendLimits : public platform::linuxarp::ArpEngine::SendGate
{
public:
    void Add(int ifindex, const std::string &ifname);
    // Whether one more frame may leave on the interface now; if not, *retry
    // says when to ask again. Takes the interface's lock when it can. An
    // interface that was not added sends nothing.
    bool MaySend(int ifindex, Clock::time_point now, Clock::time_point *retry) override;
    // Nothing is due on the interface: its lock goes back.
    void Idle(int ifindex) override;

private:
    struct Interface
    {
        explicit Interface(const std::string &ifname)
            : sending(SendingLockName(ifname)), waiting(WaitingLockName(ifname))
        {
        }
        AbstractLock sending;
        AbstractLock waiting;
        FrameBudget budget{kFrameRate, kFrameBurst};
        Clock::time_point heldSince{};
        Clock::time_point awayUntil{};
    };
    std::map<int, Interface> interfaces;
};

// The echoes the helper sends. The helper that lets one out on an interface
// holds the interface's echo lock for kEchoInterval from then, and no helper
// sends there without it. Time comes from the caller.
class EchoLimits
{
public:
    // Whether an echo may leave the interface now: its lock is taken, and
    // counts from now, whether or not the echo then leaves.
    bool MayEcho(int ifindex, const std::string &ifname, Clock::time_point now);
    // What became of the echo that MayEcho let out last on the interface.
    void Echoed(int ifindex, bool left);
    // Whether an echo left the interface lately: this helper's, while it
    // holds the lock; another helper's, while that one holds it.
    bool Recent(int ifindex, const std::string &ifname) const;
    // Gives back the locks held for kEchoInterval; returns when the next is
    // due (Clock::time_point::max() when none is held).
    Clock::time_point Release(Clock::time_point now);

private:
    struct Interface
    {
        explicit Interface(const std::string &ifname) : lock(EchoLockName(ifname)) {}
        AbstractLock lock;
        Clock::time_point until{};
        bool left = false;
    };
    std::map<int, Interface> interfaces;
};

// The requests the helper holds, grouped by address: the first for an
// address starts a series of ARP requests, later ones wait for its outcome,
// and an answer serves the same address again for kAnswerReuse.
template <typename Request> class RequestBook
{
public:
    enum class Step
    {
        Reuse, // *mac holds a fresh answer: reply at once
        Join,  // a series for the address runs already
        Start  // start a series for the address
    };

    Step Add(const Request &request, uint32_t address, Clock::time_point now, MacAddress *mac)
    {
        Forget(now);
        const auto answer = answers.find(address);
        if (answer != answers.end()) {
            *mac = answer->second;
            return Step::Reuse;
        }
        std::vector<Request> &waiting = series[address];
        waiting.push_back(request);
        ++held;
        return waiting.size() == 1 ? Step::Start : Step::Join;
    }

    // The series for the address ended: the requests it answers.
    std::vector<Request> End(uint32_t address, bool answered, const MacAddress &mac,
                             Clock::time_point now)
    {
        Forget(now);
        std::vector<Request> ended;
        const auto found = series.find(address);
        if (found != series.end()) {
            ended.swap(found->second);
            series.erase(found);
            held -= ended.size();
        }
        if (answered && answers.emplace(address, mac).second)
            expiries.emplace_back(now + kAnswerReuse, address);
        return ended;
    }

    // Requests waiting for a series.
    std::size_t Held() const { return held; }
    std::size_t Series() const { return series.size(); }

private:
    void Forget(Clock::time_point now)
    {
        while (!expiries.empty() && expiries.front().first <= now) {
            answers.erase(expiries.front().second);
            expiries.pop_front();
        }
    }

    std::map<uint32_t, std::vector<Request>> series;
    std::size_t held = 0;
    std::map<uint32_t, MacAddress> answers;
    std::deque<std::pair<Clock::time_point, uint32_t>> expiries;
};

} // namespace helper
