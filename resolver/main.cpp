// trelvan-resolver: the one file of Trelvan that carries CAP_NET_RAW.
//
// Trelvan starts it with a socket pair on its standard input and output. At
// start it makes itself non-dumpable, opens one packet socket per ARP-capable
// interface and one raw ICMPv6 socket (where the machine has IPv6), then
// drops every capability for good, confines itself to the system calls that
// serving needs (resolver/sandbox.h), and only then reads requests: addresses
// to resolve, each answered with its hardware address or "no answer"; a card
// that answers for an address after another's answer is told once too; and
// echoes to ff02::1 on an interface it serves, answered with whether one left
// (the records are described in platform/resolverprotocol.h). It
// builds every frame itself from the interface's own addresses, and resolves
// only addresses on the machine's directly attached ARP networks. Whoever
// starts it, what it sends stays within the limits of resolver/limits.h.
// Anything that is not a well-formed request ends it with a message on its
// standard error; so does the end of its input or the death of its parent.

#include "platform/linux/allnodesecho.h"
#include "platform/linux/packetarp.h"
#include "platform/linux/resolverprotocol.h"
#include "resolver/limits.h"
#include "resolver/sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace platform;
using namespace platform::linuxarp;

namespace {

constexpr int kInput = STDIN_FILENO;
constexpr int kOutput = STDOUT_FILENO;

[[noreturn]] void Quit(int status, const std::string &message)
{
    if (!message.empty())
        std::fprintf(stderr, "trelvan-resolver: %s\n", message.c_str());
    std::_Exit(status);
}

bool WriteAll(const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(kOutput, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd room{kOutput, POLLOUT, 0};
                ::poll(&room, 1, -1);
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void SendReply(const resolver::Reply &reply)
{
    const resolver::ReplyBytes bytes = resolver::EncodeReply(reply);
    if (!WriteAll(bytes.data(), bytes.size()))
        Quit(0, ""); // Trelvan is gone
}

int Milliseconds(Clock::time_point until)
{
    if (until == Clock::time_point::max())
        return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    // Rounded up, so that a wake-up never comes before the event is due.
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

} // namespace

int main()
{
    // Before anything else: from the exec on, its own user may not look
    // inside it or take its descriptors.
    helper::ForbidInspection();
    // The parent-death signal does not survive the exec of a file with
    // capabilities: set it here. If Trelvan died before this, the end of the
    // input says so below.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<LinkInterface> links;
    if (!ListInterfaces(&links))
        Quit(1, "cannot list the interfaces");
    ArpEngine engine;
    helper::SendLimits limits;
    for (const LinkInterface &link : links) {
        if (!IsArpCapable(link))
            continue;
        // An interface it cannot open for another reason is left out: its
        // addresses then get "no answer".
        const Outcome attached = engine.Attach(link);
        if (attached == Outcome::NotPermitted)
            Quit(1, "may not open a packet socket (no CAP_NET_RAW)");
        if (attached == Outcome::Answered)
            limits.Add(link.index, link.name);
    }
    engine.SetGate(&limits);
    // Without IPv6 it serves on without it, and no echo leaves.
    const FileDescriptor echoSocket = OpenEchoSocket(EchoSocketKind::Raw);
    helper::EchoLimits echoes;
    if (!helper::DropCapabilities())
        Quit(1, "cannot drop its capabilities");
    if (!helper::ConfineToServing())
        Quit(1, "cannot confine its system calls");

    resolver::RequestReader reader;
    helper::RequestBook<resolver::Request> book;
    std::map<uint64_t, uint32_t> seriesAddress; // by engine id
    uint64_t nextId = 1;
    std::vector<pollfd> fds;
    std::vector<ArpEngine::Result> ended;
    bool inputOpen = true;
    while (inputOpen || engine.Pending() > 0) {
        fds.clear();
        if (inputOpen)
            fds.push_back(pollfd{kInput, POLLIN, 0});
        engine.Descriptors(&fds);
        // The echo locks held their time go back on the way.
        const Clock::time_point due = std::min(engine.NextEvent(), echoes.Release(Clock::now()));
        const int ready = ::poll(fds.data(), fds.size(), Milliseconds(due));
        if (ready < 0 && errno != EINTR)
            Quit(1, std::string("poll: ") + std::strerror(errno));

        if (inputOpen && ready > 0 && fds[0].revents) {
            uint8_t chunk[4096];
            const ssize_t size = ::read(kInput, chunk, sizeof chunk);
            if (size < 0 && errno != EINTR && errno != EAGAIN && errno != ECONNRESET)
                Quit(1, std::string("reading requests: ") + std::strerror(errno));
            if (size == 0 || (size < 0 && errno == ECONNRESET)) {
                // Trelvan has gone, maybe with replies unread: nobody waits
                // for the answers.
                if (!reader.Finish())
                    Quit(2, "refused " + reader.Reason());
                Quit(0, "");
            }
            if (size > 0)
                reader.Feed(chunk, static_cast<std::size_t>(size));
            // The interfaces' addresses may have changed since the start;
            // only the sockets opened then can be used.
            RecentInterfaces(&links);
            resolver::Request request;
            for (;;) {
                const resolver::RequestReader::Status status = reader.Next(&request);
                if (status == resolver::RequestReader::Status::More)
                    break;
                if (status == resolver::RequestReader::Status::Refused)
                    Quit(2, "refused " + reader.Reason());
                Route route;
                resolver::Reply reply;
                reply.id = request.id;
                reply.address = request.address;
                reply.echo = request.echo;
                switch (resolver::Judge(request, book.Held(), links, &route)) {
                case resolver::Verdict::Refuse:
                    Quit(2, "refused a flood of requests (more than " +
                                std::to_string(resolver::kMaxOutstanding) + " at once)");
                case resolver::Verdict::Own:
                    reply.answered = true;
                    std::copy(route.link->hardwareAddress.begin(),
                              route.link->hardwareAddress.end(), reply.mac.begin());
                    SendReply(reply);
                    break;
                case resolver::Verdict::NoAnswer:
                    SendReply(reply);
                    break;
                case resolver::Verdict::Echo: {
                    const int index = route.link->index;
                    const std::string &name = route.link->name;
                    if (echoSocket.valid() && engine.Attached(index)) {
                        if (echoes.MayEcho(index, name, Clock::now()))
                            echoes.Echoed(index, SendAllNodesEcho(echoSocket.get(), index,
                                                                  static_cast<uint16_t>(index)));
                        reply.answered = echoes.Recent(index, name);
                    }
                    SendReply(reply);
                    break;
                }
                case resolver::Verdict::Resolve:
                    if (!engine.Attached(route.link->index)) {
                        SendReply(reply); // an interface that came later
                        break;
                    }
                    switch (book.Add(request, request.address, Clock::now(), &reply.mac)) {
                    case helper::RequestBook<resolver::Request>::Step::Reuse:
                        reply.answered = true;
                        SendReply(reply);
                        break;
                    case helper::RequestBook<resolver::Request>::Step::Join:
                        break;
                    case helper::RequestBook<resolver::Request>::Step::Start:
                        MacAddress ownMac{};
                        std::copy(route.link->hardwareAddress.begin(),
                                  route.link->hardwareAddress.end(), ownMac.begin());
                        seriesAddress.emplace(nextId, request.address);
                        engine.Start(nextId, route.link->index, ownMac, route.sourceAddress,
                                     request.address);
                        ++nextId;
                        break;
                    }
                    break;
                }
            }
        }

        ended.clear();
        engine.Service(fds, &ended);
        for (const ArpEngine::Result &result : ended) {
            if (result.otherCard) {
                // A second card for an address answered: told once per answer.
                resolver::Reply other;
                other.otherCard = true;
                other.address = result.address;
                other.mac = result.mac;
                SendReply(other);
                continue;
            }
            const auto found = seriesAddress.find(result.id);
            if (found == seriesAddress.end())
                continue;
            const uint32_t address = found->second;
            seriesAddress.erase(found);
            for (const resolver::Request &request :
                 book.End(address, result.answered, result.mac, Clock::now())) {
                resolver::Reply reply;
                reply.id = request.id;
                reply.address = request.address;
                reply.answered = result.answered;
                reply.heldBack = result.heldBack;
                reply.mac = result.mac;
                SendReply(reply);
            }
        }
    }
    return 0;
}
