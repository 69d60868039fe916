#pragma once

// What every part of the Linux address resolution shares: the answers it
// gives, its timing, and the way a waiting resolution notices that its
// thread is asked to stop.

#include "platform/routechoice.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace platform::linuxarp {

// The values the IP Helper function returns in the same situations, so that
// both platforms answer alike.
using platform::kErrBadNetName;
using platform::kErrGenFailure;
using platform::kErrInvalidParameter;
using platform::kErrInvalidUserBuffer;
using platform::kErrNotFound;
using platform::kNoError;

using MacAddress = std::array<uint8_t, 6>;
using Clock = std::chrono::steady_clock;

// How long one resolution waits for an answer (the neighbour path a little
// longer, to see the kernel's second request through), and how often the
// packet path repeats its request while nothing came. A scan lasts as long as
// its slowest probe, which is any absent address: this wait is most of a
// scan's time. Four requests 200 ms apart still find a host that misses one,
// and one that answers a few hundred milliseconds late.
constexpr std::chrono::milliseconds kAnswerWait{800};
constexpr std::chrono::milliseconds kResendInterval{200};

enum class Outcome
{
    Answered,
    NoAnswer,
    NotPermitted,
    Failed
};

// The time left until `until`, for ppoll; zero once it has passed.
inline timespec TimeLeft(Clock::time_point until)
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

// ---- Stopping ---------------------------------------------------------------

// Whether the calling thread has been asked to stop (platform::SetStopFlag):
// its resolution then gives up at once with no answer. Every wait in the
// resolution looks at it at least every kStopPoll.
bool StopRequested();
constexpr std::chrono::milliseconds kStopPoll{100};

// Waits on `condition` until `ready()` holds or `until` has passed. Returns
// false, without waiting further, when the thread was asked to stop.
template <typename Ready>
bool WaitUnlessStopped(std::condition_variable &condition, std::unique_lock<std::mutex> &lock,
                       Clock::time_point until, Ready ready)
{
    for (;;) {
        if (ready())
            return true;
        if (StopRequested())
            return false;
        const Clock::time_point now = Clock::now();
        if (now >= until)
            return true;
        condition.wait_until(lock, std::min(until, now + kStopPoll));
    }
}

} // namespace platform::linuxarp
