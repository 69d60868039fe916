// The conversation with a started resolver helper: requests out, replies in,
// and a deadline on every wait.

#include "platform/linux/helpersession.h"
#include "platform/linux/resolverprotocol.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace platform::linuxarp {

namespace {

// Past their deadline and still owed a reply: more than the helper would
// hold beside our capacity means it no longer answers at all.
constexpr std::size_t kLateLimit = resolver::kMaxOutstanding - resolver::kClientOutstanding;

} // namespace

HelperSession::HelperSession(FileDescriptor pipe, Clock::duration deadline, std::size_t outstanding)
    : replyDeadline(deadline),
      echoDeadline(std::min<Clock::duration>(deadline, kHelperEchoDeadline)),
      capacity(std::max<std::size_t>(outstanding, 1)), socket(std::move(pipe))
{
}

std::size_t HelperSession::Waiting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return waiting.size();
}

bool HelperSession::OtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                              MacAddress *other) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return answers.Other(destIp, mac, since, other);
}

Outcome HelperSession::Resolve(uint32_t destIp, MacAddress *mac, bool *heldBack)
{
    return Ask(resolver::Request{0, destIp, false}, mac, heldBack);
}

bool HelperSession::EchoAllNodes(uint32_t interfaceAddress)
{
    MacAddress none{};
    return Ask(resolver::Request{0, interfaceAddress, true}, &none, nullptr) == Outcome::Answered;
}

Outcome HelperSession::Ask(const resolver::Request &asked, MacAddress *mac, bool *heldBack)
{
    const uint32_t destIp = asked.address;
    Waiter self;
    uint32_t id = 0;
    Clock::time_point deadline;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Slots free at the latest at their requests' deadlines.
        const bool stayed = WaitUnlessStopped(slotFreed, lock, Clock::now() + replyDeadline, [&] {
            return ended != End::None || waiting.size() < capacity;
        });
        if (!stayed)
            return Outcome::NoAnswer;
        if (ended != End::None || waiting.size() >= capacity)
            return Outcome::NotPermitted;
        do
            id = nextId++;
        while (id == 0 || waiting.count(id) || late.count(id));
        deadline = Clock::now() + (asked.echo ? echoDeadline : replyDeadline);
        waiting[id] = Request{destIp, asked.echo, deadline, &self};
        // Kept in the order of the deadlines, which an echo's shorter one
        // may overtake.
        const std::pair<Clock::time_point, uint32_t> due(deadline, id);
        order.insert(std::upper_bound(order.begin(), order.end(), due), due);
    }

    const resolver::RequestBytes bytes = resolver::EncodeRequest({id, destIp, asked.echo});
    Written written = Written::Nothing;
    {
        std::unique_lock<std::timed_mutex> writing(writeMutex, deadline);
        if (writing.owns_lock())
            written = Write(bytes.data(), bytes.size(), deadline);
    }

    std::unique_lock<std::mutex> lock(mutex);
    if (written != Written::Whole) {
        // A request that did not go out holds no slot. One cut short leaves
        // the helper in the middle of a record: nothing more can be said.
        if (waiting.erase(id))
            slotFreed.notify_one();
        late.erase(id);
        if (written == Written::Part)
            Finish(End::WriteFailed);
        return Outcome::NotPermitted;
    }
    // Serve wakes us with the reply, at the deadline or at the end; the
    // margin only guards against a Serve that no longer runs.
    const bool stayed =
        WaitUnlessStopped(self.woken, lock, deadline + kStopPoll, [&] { return self.done; });
    if (!self.done) {
        const auto found = waiting.find(id);
        if (found != waiting.end()) {
            if (!stayed) {
                // The request keeps its slot until its reply or deadline.
                found->second.waiter = nullptr;
                return Outcome::NoAnswer;
            }
            late[id] = Asked{destIp, asked.echo};
            waiting.erase(found);
            slotFreed.notify_one();
        }
        return stayed ? Outcome::NotPermitted : Outcome::NoAnswer;
    }
    if (!self.replied)
        return Outcome::NotPermitted;
    if (self.heldBack) {
        if (heldBack)
            *heldBack = true;
        return Outcome::NotPermitted;
    }
    if (!self.answered)
        return Outcome::NoAnswer;
    *mac = self.mac;
    return Outcome::Answered;
}

HelperSession::Written HelperSession::Write(const uint8_t *data, std::size_t size,
                                            Clock::time_point until)
{
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t now =
            ::send(socket.get(), data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (now > 0) {
            sent += static_cast<std::size_t>(now);
            continue;
        }
        if (now < 0 && errno == EINTR)
            continue;
        if (now == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        // The helper reads slower than we ask: wait for room, but not past
        // the deadline, nor past a request to stop before anything went.
        if (Clock::now() >= until || (sent == 0 && StopRequested()))
            break;
        pollfd room{socket.get(), POLLOUT, 0};
        const timespec timeout = TimeLeft(std::min(until, Clock::now() + kStopPoll));
        ::ppoll(&room, 1, &timeout, nullptr);
    }
    if (sent == size)
        return Written::Whole;
    return sent == 0 ? Written::Nothing : Written::Part;
}

void HelperSession::Finish(End why)
{
    if (ended != End::None)
        return;
    ended = why;
    for (auto &entry : waiting) {
        if (Waiter *waiter = entry.second.waiter) {
            waiter->done = true;
            waiter->woken.notify_one();
        }
    }
    waiting.clear();
    late.clear();
    order.clear();
    slotFreed.notify_all();
    // Wakes Serve should it wait for the helper to speak.
    ::shutdown(socket.get(), SHUT_RDWR);
}

bool HelperSession::Take(const uint8_t *record)
{
    resolver::Reply reply;
    if (!resolver::DecodeReply(record, resolver::kReplySize, &reply)) {
        Finish(End::Malformed);
        return false;
    }
    if (reply.otherCard) {
        // Kept only beside an answer the helper gave; nothing else grows.
        answers.Heard(0, reply.address, reply.mac, Clock::now());
        return true;
    }
    const auto found = waiting.find(reply.id);
    if (found != waiting.end()) {
        if (found->second.address != reply.address) {
            Finish(End::WrongAddress);
            return false;
        }
        if (found->second.echo != reply.echo) {
            Finish(End::Malformed); // a reply of another kind than its request
            return false;
        }
        if (reply.answered && !reply.echo)
            answers.Answered(0, reply.address, reply.mac, Clock::now());
        if (Waiter *waiter = found->second.waiter) {
            waiter->done = true;
            waiter->replied = true;
            waiter->answered = reply.answered;
            waiter->heldBack = reply.heldBack;
            waiter->mac = reply.mac;
            waiter->woken.notify_one();
        }
        waiting.erase(found);
        slotFreed.notify_one();
    } else {
        const auto wasLate = late.find(reply.id);
        if (wasLate == late.end()) {
            Finish(End::UnknownId);
            return false;
        }
        if (wasLate->second.address != reply.address) {
            Finish(End::WrongAddress);
            return false;
        }
        if (wasLate->second.echo != reply.echo) {
            Finish(End::Malformed);
            return false;
        }
        late.erase(wasLate);
    }
    timeoutsInARow = 0;
    return true;
}

void HelperSession::Expire(Clock::time_point now)
{
    // Requests are kept in the order of their deadlines: the first is the
    // first to expire.
    while (!order.empty() && order.front().first <= now) {
        const uint32_t id = order.front().second;
        const Clock::time_point deadline = order.front().first;
        order.pop_front();
        const auto found = waiting.find(id);
        if (found == waiting.end() || found->second.deadline != deadline)
            continue; // replied to, or not sent
        if (Waiter *waiter = found->second.waiter) {
            waiter->done = true;
            waiter->woken.notify_one();
        }
        late[id] = Asked{found->second.address, found->second.echo};
        waiting.erase(found);
        slotFreed.notify_one();
        ++timeoutsInARow;
    }
    if (timeoutsInARow >= kHelperTimeoutsToEnd || late.size() > kLateLimit)
        Finish(End::Timeouts);
}

HelperSession::End HelperSession::Serve()
{
    for (;;) {
        Clock::time_point next;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (ended != End::None)
                return ended;
            // A request made after this has its deadline later than the
            // shorter deadline from now: waking then is never too late for it.
            next = Clock::now() + echoDeadline;
            if (!order.empty())
                next = std::min(next, order.front().first);
        }
        pollfd readable{socket.get(), POLLIN, 0};
        const timespec timeout = TimeLeft(next);
        const int ready = ::ppoll(&readable, 1, &timeout, nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        if (ready < 0 && errno != EINTR) {
            Finish(End::Closed);
            continue;
        }
        if (ready > 0 && ended == End::None) {
            uint8_t chunk[4096];
            const ssize_t size = ::recv(socket.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
                Finish(End::Closed);
                continue;
            }
            if (size > 0)
                unread.insert(unread.end(), chunk, chunk + size);
            std::size_t used = 0;
            for (; unread.size() - used >= resolver::kReplySize; used += resolver::kReplySize) {
                if (!Take(unread.data() + used))
                    break;
            }
            unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(used));
        }
        if (ended == End::None)
            Expire(Clock::now());
    }
}

} // namespace platform::linuxarp
