#include "resolver/limits.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace helper {

FrameBudget::FrameBudget(double perSecond, double most) : rate(perSecond), burst(most) {}

void FrameBudget::Restart(Clock::time_point now)
{
    tokens = 0;
    refilled = now;
}

void FrameBudget::Refill(Clock::time_point now)
{
    if (now <= refilled)
        return;
    const double seconds = std::chrono::duration<double>(now - refilled).count();
    tokens = std::min(burst, tokens + seconds * rate);
    refilled = now;
}

bool FrameBudget::Take(Clock::time_point now)
{
    Refill(now);
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

Clock::time_point FrameBudget::NextFrame(Clock::time_point now) const
{
    const Clock::time_point from = std::max(now, refilled);
    const double elapsed = std::chrono::duration<double>(from - refilled).count();
    const double missing = 1 - std::min(burst, tokens + elapsed * rate);
    if (missing <= 0)
        return from;
    // Rounded up, so that the frame is there when asked for.
    const auto wait = std::chrono::duration<double>(missing / rate);
    return from + std::chrono::ceil<Clock::duration>(wait);
}

std::string SendingLockName(const std::string &ifname)
{
    return "trelvan-resolver/" + ifname;
}

std::string WaitingLockName(const std::string &ifname)
{
    return "trelvan-resolver/" + ifname + "/waiting";
}

std::string EchoLockName(const std::string &ifname)
{
    return "trelvan-resolver/" + ifname + "/echo";
}

AbstractLock::~AbstractLock()
{
    Release();
}

bool AbstractLock::TryTake()
{
    if (fd >= 0)
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name: a NUL first, then the name, no file anywhere.
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    const int opened = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (opened < 0)
        return false;
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(opened, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
        ::close(opened); // EADDRINUSE: another holds it
        return false;
    }
    fd = opened;
    return true;
}

void AbstractLock::Release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool AbstractLock::HeldElsewhere() const
{
    if (fd >= 0)
        return false;
    AbstractLock probe(name);
    return !probe.TryTake();
}

void SendLimits::Add(int ifindex, const std::string &ifname)
{
    interfaces.try_emplace(ifindex, ifname);
}

bool SendLimits::MaySend(int ifindex, Clock::time_point now, Clock::time_point *retry)
{
    const auto found = interfaces.find(ifindex);
    if (found == interfaces.end()) {
        *retry = Clock::time_point::max(); // an interface without limits sends nothing
        return false;
    }
    Interface &interface = found->second;
    if (interface.sending.Held() && now - interface.heldSince >= kHoldQuantum) {
        interface.heldSince = now;
        if (interface.waiting.HeldElsewhere()) {
            // Another helper waits: its turn.
            interface.sending.Release();
            interface.awayUntil = now + kStandAside;
        }
    }
    if (!interface.sending.Held()) {
        if (now < interface.awayUntil) {
            *retry = interface.awayUntil;
            return false;
        }
        if (!interface.sending.TryTake()) {
            interface.waiting.TryTake(); // taken already if another waits too
            *retry = now + kLockRetry;
            return false;
        }
        interface.waiting.Release();
        interface.heldSince = now;
        interface.budget.Restart(now);
    }
    if (interface.budget.Take(now))
        return true;
    *retry = interface.budget.NextFrame(now);
    return false;
}

void SendLimits::Idle(int ifindex)
{
    const auto found = interfaces.find(ifindex);
    if (found != interfaces.end()) {
        found->second.sending.Release();
        found->second.waiting.Release();
    }
}

bool EchoLimits::MayEcho(int ifindex, const std::string &ifname, Clock::time_point now)
{
    Interface &interface = interfaces.try_emplace(ifindex, ifname).first->second;
    if (interface.lock.Held() || !interface.lock.TryTake())
        return false;
    interface.until = now + kEchoInterval;
    interface.left = false;
    return true;
}

void EchoLimits::Echoed(int ifindex, bool left)
{
    const auto found = interfaces.find(ifindex);
    if (found != interfaces.end())
        found->second.left = left;
}

bool EchoLimits::Recent(int ifindex, const std::string &ifname) const
{
    const auto found = interfaces.find(ifindex);
    if (found != interfaces.end() && found->second.lock.Held())
        return found->second.left;
    return AbstractLock(EchoLockName(ifname)).HeldElsewhere();
}

Clock::time_point EchoLimits::Release(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (auto &entry : interfaces) {
        Interface &interface = entry.second;
        if (interface.lock.Held() && now >= interface.until)
            interface.lock.Release();
        if (interface.lock.Held())
            next = std::min(next, interface.until);
    }
    return next;
}

} // namespace helper
