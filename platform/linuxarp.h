#pragma once

// The pieces of the Linux address resolution behind SystemSendARP. They are
// declared here rather than kept file-local so that the parts that need no
// network (frame building, filter programs, netlink parsing, the choice of
// interface, the neighbour-table budget) can be tested on their own.

#include <linux/filter.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::linuxarp {

// The values the IP Helper function returns in the same situations, so that
// both platforms answer alike.
constexpr uint32_t kNoError = 0;
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrBadNetName = 67; // nobody answered, or not on an attached network
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrNotFound = 1168; // srcIp is none of the machine's addresses
constexpr uint32_t kErrInvalidUserBuffer = 1784;

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
// How long one listing of the interfaces serves: all probes of a scan start
// together, and one listing is enough for them all.
constexpr std::chrono::milliseconds kInterfaceListLifetime{500};

// Owns one file descriptor and closes it on every way out.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    FileDescriptor(FileDescriptor &&other) noexcept : fd(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    int get() const { return fd; }
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    bool valid() const { return fd >= 0; }

private:
    int fd = -1;
};

// socket(2), waiting a little and retrying while the process or the system is
// out of descriptors or memory.
int OpenSocket(int domain, int type, int protocol);

// Bounds the resolutions that hold sockets at once to half the process's
// descriptor limit, so that a thousand calls together never starve the rest
// of the program (or each other) of descriptors; the others wait their turn.
class DescriptorGate
{
public:
    explicit DescriptorGate(std::size_t capacity);
    // False, without entering, when the calling thread is asked to stop.
    bool Enter();
    void Leave();

    // Enters on construction, leaves on destruction.
    class Pass
    {
    public:
        explicit Pass(DescriptorGate &gate) : gate(gate), entered(gate.Enter()) {}
        ~Pass()
        {
            if (entered)
                gate.Leave();
        }
        Pass(const Pass &) = delete;
        Pass &operator=(const Pass &) = delete;
        bool Entered() const { return entered; }

    private:
        DescriptorGate &gate;
        const bool entered;
    };

    static DescriptorGate &Instance();

private:
    std::mutex mutex;
    std::condition_variable freed;
    std::size_t free;
};

// ---- Interfaces -------------------------------------------------------------

struct InterfaceAddress
{
    uint32_t address = 0; // network byte order
    int prefixLength = 0;
};

struct LinkInterface
{
    std::string name;
    int index = 0;
    unsigned flags = 0;              // IFF_*
    unsigned short hardwareType = 0; // ARPHRD_*
    std::vector<uint8_t> hardwareAddress;
    std::vector<InterfaceAddress> addresses;
};

// The machine's interfaces with their IPv4 addresses; false when they
// could not be read.
bool ListInterfaces(std::vector<LinkInterface> *interfaces);

// Whether ARP can run on the interface: up with a carrier, not loopback,
// not NOARP, Ethernet-type with a 6-byte hardware address.
bool IsArpCapable(const LinkInterface &link);

struct Route
{
    const LinkInterface *link = nullptr;
    uint32_t sourceAddress = 0; // network byte order
    bool own = false;           // destIp is one of link's own addresses
};

enum class RouteResult
{
    Found,
    NoNetwork,
    SourceNotLocal
};

// The interfaces as listed at most kInterfaceListLifetime ago.
bool RecentInterfaces(std::vector<LinkInterface> *interfaces);

// Finds the directly attached network that holds destIp, the longest prefix
// winning. A non-zero srcIp limits the choice to the interface holding it.
RouteResult FindRoute(const std::vector<LinkInterface> &links, uint32_t destIp, uint32_t srcIp,
                      Route *route);

// ---- Packet-socket path -----------------------------------------------------

constexpr std::size_t kArpPacketSize = 28;
using ArpPacket = std::array<uint8_t, kArpPacketSize>;

// An Ethernet/IPv4 ARP request, without the link header.
ArpPacket BuildArpRequest(const MacAddress &senderMac, uint32_t senderIp, uint32_t targetIp);

// Classic BPF program, run on the ARP header, that keeps only Ethernet/IPv4
// ARP replies.
std::vector<sock_filter> ArpReplyFilter();

// Reads the sender's protocol and hardware addresses from a reply.
bool ParseArpReply(const uint8_t *data, std::size_t size, uint32_t *senderIp, MacAddress *mac);

enum class Outcome
{
    Answered,
    NoAnswer,
    NotPermitted,
    Failed
};

// Opens a packet socket on the interface that hears only ARP replies.
// NotPermitted when the process may not open one; Answered when it is open.
Outcome OpenArpSocket(const LinkInterface &link, FileDescriptor *socket);

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
        MacAddress mac{};
    };

    // The gate, which must outlive the engine; none lets every frame go.
    void SetGate(SendGate *gate) { this->gate = gate; }

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

private:
    struct Resolution
    {
        int ifindex = 0;
        uint32_t destIp = 0;
        ArpPacket request{};
        int requestsLeft = kRequests;
        Clock::time_point nextSend;
        Clock::time_point deadline;
    };

    void Send(Clock::time_point now, std::vector<uint64_t> *expired);

    void Finish(uint64_t id, bool answered, const MacAddress &mac, std::vector<Result> *ended);
    void Receive(int ifindex, int fd, std::vector<Result> *ended);

    std::map<int, std::unique_ptr<FileDescriptor>> sockets; // by interface index
    std::map<uint64_t, Resolution> pending;
    std::multimap<std::pair<int, uint32_t>, uint64_t> bySender;
    SendGate *gate = nullptr;
    std::map<int, Clock::time_point> heldBack; // by interface: until when
};

// Resolves one address on the process's own packet sockets, shared by every
// resolution in the process and driven by a thread of their own.
// NotPermitted when the process may not open one.
Outcome PacketResolve(const LinkInterface &link, uint32_t sourceIp, uint32_t destIp,
                      MacAddress *mac);

// ---- Resolver helper ---------------------------------------------------------

// Resolves one address through the resolver helper, started at the first call
// when it is installed beside the program and holds CAP_NET_RAW. NotPermitted
// when there is no such helper, or it has ended (then for good).
Outcome HelperResolve(uint32_t destIp, MacAddress *mac);

// Whether a resolver helper that may be used is installed: the first of the
// places it is looked for that holds one, with CAP_NET_RAW in its permitted
// and effective file capabilities. Empty when none.
std::string FindHelper();

// Whether the file carries CAP_NET_RAW as a permitted, effective capability.
bool HasRawCapability(const std::string &path);

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

// ---- Neighbour-table path ---------------------------------------------------

// Classic BPF program for a NETLINK_ROUTE socket that drops neighbour
// messages about IPv4 addresses other than address, and every other message
// but errors and acknowledgements.
std::vector<sock_filter> NeighbourFilter(uint32_t address);

// An RTM_GETNEIGH request for one address on one interface.
std::vector<uint8_t> BuildNeighbourQuery(int ifindex, uint32_t address, uint32_t sequence);

// What one netlink datagram says about one address on one interface.
struct NeighbourReport
{
    bool mentioned = false; // a message about the address came (state below)
    uint16_t state = 0;     // NUD_*; 0 when the entry was removed
    bool hasMac = false;
    MacAddress mac{};
    bool replied = false; // the answer to our query came (state, or error below)
    int error = 0;        // errno of an error answer; ENOENT: no entry
    bool overrun = false;
};

void ScanNeighbourMessages(const uint8_t *data, std::size_t size, int ifindex, uint32_t address,
                           uint32_t sequence, NeighbourReport *report);

// A state that carries a usable hardware address.
bool IsResolvedState(uint16_t state);

// The kernel's neighbour-table threshold (gc_thresh3), from an
// RTM_NEWNEIGHTBL datagram; 0 when it holds none.
uint32_t ScanTableThreshold(const uint8_t *data, std::size_t size);

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
    explicit EntryBudget(std::size_t capacity);

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

// Makes the kernel resolve destIp through its neighbour table and reads the
// result over rtnetlink. Needs no privilege.
Outcome NeighbourResolve(const LinkInterface &link, uint32_t destIp, MacAddress *mac);

} // namespace platform::linuxarp
