#pragma once

// ARP requests of our own on packet sockets: frames, filter and the engine
// that runs many resolutions at once. Shared by the program (as root) and
// the resolver helper; nothing here needs Qt or blocks.

#include "platform/linux/linuxlinks.h"

#include <linux/filter.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace platform::linuxarp {

constexpr std::size_t kArpPacketSize = 28;
using ArpPacket = std::array<uint8_t, kArpPacketSize>;

// An Ethernet/IPv4 ARP request, without the link header.
ArpPacket BuildArpRequest(const MacAddress &senderMac, uint32_t senderIp, uint32_t targetIp);

// Classic BPF program, run on the ARP header, that keeps only Ethernet/IPv4
// ARP replies.
std::vector<sock_filter> ArpReplyFilter();

// Reads the sender's protocol and hardware addresses from a reply.
bool ParseArpReply(const uint8_t *data, std::size_t size, uint32_t *senderIp, MacAddress *mac);

// Opens a packet socket on the interface that hears only ARP replies.
// NotPermitted when the process may not open one; Answered when it is open.
Outcome OpenArpSocket(const LinkInterface &link, FileDescriptor *socket);

// The cards that answered for each address lately, so that a second card
// claiming an address already answered is told rather than lost: a
// resolution's answer opens the address' entry (or starts it afresh), and
// the first other card heard for it right after, on the same interface, is
// kept beside the answer; one is enough. An address enters only through an
// answer to a request of ours, entries go after kKeep, and past kMost the
// oldest goes first: replies, however many, add nothing.
class AnswerBook
{
public:
    // Every address of a /16, the widest network scanned.
    static constexpr std::size_t kMost = 65536;
    // Longer than a scan of a /16.
    static constexpr std::chrono::seconds kKeep{120};
    // How long after the answer another card counts: the time a request of
    // ours is answered in. Later replies answer someone else's requests
    // (another program's on this machine sees the same replies).
    static constexpr std::chrono::milliseconds kListen = kAnswerWait;

    // A resolution of the address answered with `mac`.
    void Answered(int ifindex, uint32_t address, const MacAddress &mac, Clock::time_point now);
    // A reply for the address outside any resolution: true when `mac` is the
    // first card other than the answer, within kListen of the answer.
    bool Heard(int ifindex, uint32_t address, const MacAddress &mac, Clock::time_point now);
    // Whether two cards answered for the address since `since`; *other is
    // then the one that is not `mac` (the answer, when `mac` is neither).
    bool Other(uint32_t address, const MacAddress &mac, Clock::time_point since,
               MacAddress *other) const;
    std::size_t Size() const { return entries.size(); }

private:
    struct Entry
    {
        int ifindex = 0;
        MacAddress answer{};
        MacAddress other{};
        bool twice = false; // other holds a second card
        Clock::time_point at;
    };
    void Forget(Clock::time_point now);

    std::unordered_map<uint32_t, Entry> entries;
    // When each address was answered, oldest first; an address answered
    // again leaves its earlier mark here, which no longer removes it.
    std::deque<std::pair<Clock::time_point, uint32_t>> order;
};

// Many resolutions at once with ARP requests of our own: one packet socket per
// interface, whose replies go to the resolutions waiting for their sender;
// four requests kResendInterval apart, given up kResendInterval after the
// last (kAnswerWait after the first when nothing holds them back). The
// engine builds every frame itself from the interface's own addresses. It
// does not block and is not thread-safe: one thread polls Descriptors(),
// then calls Service(), and sleeps no longer than until NextEvent().
class ArpEngine
{
public:
    // Decides whether a frame may leave: the engine asks before every one.
    // Frames held back go out in the order their resolutions started.
    class SendGate
    {
    public:
        virtual ~SendGate() = default;
        // False when the frame must wait; *retry then says until when.
        virtual bool MaySend(int ifindex, Clock::time_point now, Clock::time_point *retry) = 0;
        // Nothing is left to send on the interface for now.
        virtual void Idle(int ifindex) = 0;
    };

    // Requests a resolution sends, and how long one held back by the gate
    // may wait for its first before it gives up.
    static constexpr int kRequests = kAnswerWait / kResendInterval;
    static constexpr std::chrono::seconds kSendPatience{10};
    // Replies read from one socket per call of Service, so that a flood of
    // them cannot hold up the rest.
    static constexpr int kRepliesPerService = 64;

    struct Result
    {
        uint64_t id = 0;
        bool answered = false;
        // Not answered because the gate let no request go for kSendPatience.
        bool heldBack = false;
        MacAddress mac{};
        // Not the end of a resolution (id 0): `mac` is a second card that
        // answered for `address` after a resolution of it had, told once
        // per answer (Answers()).
        bool otherCard = false;
        uint32_t address = 0;
    };

    // The gate, which must outlive the engine; none lets every frame go.
    void SetGate(SendGate *sendGate) { gate = sendGate; }

    // Opens the interface's socket unless it is open already.
    Outcome Attach(const LinkInterface &link);
    bool Attached(int ifindex) const;

    // Starts one resolution on an attached interface.
    void Start(uint64_t id, int ifindex, const MacAddress &ownMac, uint32_t sourceIp,
               uint32_t destIp);
    // Forgets a resolution without a result.
    void Cancel(uint64_t id);
    std::size_t Pending() const { return pending.size(); }

    // Appends one entry per socket, waiting for input.
    void Descriptors(std::vector<pollfd> *fds) const;
    // Reads the replies the polled sockets hold, sends the requests that are
    // due and gives up on those past their time; appends what ended.
    void Service(const std::vector<pollfd> &polled, std::vector<Result> *ended);
    // When Service next has something to send or to give up; max() if never.
    Clock::time_point NextEvent() const;

    // Reads one reply as if it came from the interface's socket.
    void Hear(int ifindex, const uint8_t *frame, std::size_t size, std::vector<Result> *ended);
    // The cards that answered lately, a second one per address included.
    const AnswerBook &Answers() const { return answers; }

private:
    struct Resolution
    {
        int ifindex = 0;
        uint32_t destIp = 0;
        ArpPacket request{};
        int requestsLeft = kRequests;
        bool gateHeld = false; // the gate has held its request back
        Clock::time_point nextSend;
        Clock::time_point deadline;
    };

    void Send(Clock::time_point now, std::vector<uint64_t> *expired);

    void Finish(uint64_t id, bool answered, const MacAddress &mac, std::vector<Result> *ended,
                bool held = false);
    void Receive(int ifindex, int fd, std::vector<Result> *ended);

    std::map<int, std::unique_ptr<FileDescriptor>> sockets; // by interface index
    std::map<uint64_t, Resolution> pending;
    std::multimap<std::pair<int, uint32_t>, uint64_t> bySender;
    SendGate *gate = nullptr;
    std::map<int, Clock::time_point> heldBack; // by interface: until when
    AnswerBook answers;
};

} // namespace platform::linuxarp
