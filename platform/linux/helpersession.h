#pragma once

// One conversation of the program with a started resolver helper, over the
// socket pair it holds the other end of.

#include "platform/linux/linuxlinks.h"
#include "platform/linux/packetarp.h"
#include "platform/linux/resolverprotocol.h"

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace platform::linuxarp {

// How long the program waits for the helper's reply to one request: the
// helper answers every request within its patience with an interface that
// another helper holds, and the answer's own wait; past that, and a margin,
// it has stopped serving.
constexpr std::chrono::milliseconds kHelperReplyDeadline =
    ArpEngine::kSendPatience + kAnswerWait + std::chrono::seconds(2);
// How long the program waits for the reply to an echo request, which the
// helper gives at once: a scan starts only after it.
constexpr std::chrono::milliseconds kHelperEchoDeadline{1000};
// Requests past their deadline in a row, with no reply between, after which
// the helper is ended and the kernel's table takes over.
constexpr int kHelperTimeoutsToEnd = 3;

// One conversation with a started helper over its end of the socket pair.
// Any number of threads call Resolve; one thread runs Serve, which reads the
// replies and keeps the deadlines until the conversation must end. Nothing
// here waits without a deadline.
class HelperSession
{
public:
    // Why the conversation ended.
    enum class End
    {
        None,         // still serving
        Closed,       // the helper closed its end, or reading failed
        Timeouts,     // kHelperTimeoutsToEnd requests in a row got no reply in time
        WrongAddress, // a reply named another address than its request's
        UnknownId,    // a reply answered a request never made
        Malformed,    // a reply was not well-formed
        WriteFailed   // a request went out only in part
    };

    // `capacity`: requests that may wait for a reply at once.
    HelperSession(FileDescriptor pipe, Clock::duration deadline, std::size_t outstanding);

    // Answered or NoAnswer as the helper says; NotPermitted when the helper
    // could not be asked, did not reply in time or has ended, or says that
    // it was held back (then *heldBack, if given, is set): the caller then
    // asks the kernel's table. NoAnswer when the calling thread is asked to
    // stop.
    Outcome Resolve(uint32_t destIp, MacAddress *mac, bool *heldBack = nullptr);

    // Asks for the echo to ff02::1 on the interface that holds
    // `interfaceAddress`: true when the helper says one left it lately.
    bool EchoAllNodes(uint32_t interfaceAddress);

    // Reads replies and gives up on requests past their deadline until the
    // conversation must end; returns why. Every later or waiting Resolve
    // then returns NotPermitted at once.
    End Serve();

    // Requests that hold a slot: sent, neither replied to nor past their
    // deadline.
    std::size_t Waiting() const;

    // Whether the helper told of a second card for the address since
    // `since` (AnswerBook::Other).
    bool OtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                   MacAddress *other) const;

private:
    struct Waiter
    {
        std::condition_variable woken;
        bool done = false;
        bool answered = false;
        bool replied = false;
        bool heldBack = false;
        MacAddress mac{};
    };
    struct Request
    {
        uint32_t address = 0;
        bool echo = false;
        Clock::time_point deadline;
        Waiter *waiter = nullptr; // null once its caller has gone
    };
    // What a request past its deadline asked, for its reply to match.
    struct Asked
    {
        uint32_t address = 0;
        bool echo = false;
    };
    enum class Written
    {
        Whole,
        Nothing,
        Part
    };

    Outcome Ask(const resolver::Request &asked, MacAddress *mac, bool *heldBack);
    Written Write(const uint8_t *data, std::size_t size, Clock::time_point until);
    void Finish(End why); // with `mutex` held
    bool Take(const uint8_t *record);
    void Expire(Clock::time_point now);

    mutable std::mutex mutex;
    std::condition_variable slotFreed;
    const Clock::duration replyDeadline;
    const Clock::duration echoDeadline; // at most replyDeadline
    const std::size_t capacity;
    End ended = End::None;
    uint32_t nextId = 1;
    std::map<uint32_t, Request> waiting;
    // Requests past their deadline whose reply may still come: it is taken
    // and dropped. They no longer hold a slot.
    std::map<uint32_t, Asked> late; // by id
    // The requests in the order of their deadlines.
    std::deque<std::pair<Clock::time_point, uint32_t>> order;
    int timeoutsInARow = 0;
    AnswerBook answers; // the helper's answers, and the second cards it told of

    std::timed_mutex writeMutex;
    FileDescriptor socket;
    std::vector<uint8_t> unread; // the start of a reply
};

} // namespace platform::linuxarp
