// ARP requests of our own on packet sockets: frames, filter and the engine
// that runs many resolutions at once. Shared by the program (as root) and
// the resolver helper; nothing here needs Qt or blocks.

#include "platform/linux/packetarp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/socket.h>

namespace platform::linuxarp {

namespace {

// Offsets in an Ethernet/IPv4 ARP packet.
constexpr unsigned kHardwareTypeAt = 0;
constexpr unsigned kProtocolTypeAt = 2;
constexpr unsigned kLengthsAt = 4; // hardware length, then protocol length
constexpr unsigned kOperationAt = 6;
constexpr unsigned kSenderMacAt = 8;
constexpr unsigned kSenderIpAt = 14;
constexpr unsigned kTargetIpAt = 24;

uint16_t ReadBig16(const uint8_t *data)
{
    return static_cast<uint16_t>(data[0] << 8 | data[1]);
}

void WriteBig16(uint8_t *data, uint16_t value)
{
    data[0] = static_cast<uint8_t>(value >> 8);
    data[1] = static_cast<uint8_t>(value);
}

} // namespace

ArpPacket BuildArpRequest(const MacAddress &senderMac, uint32_t senderIp, uint32_t targetIp)
{
    ArpPacket packet{};
    WriteBig16(&packet[kHardwareTypeAt], ARPHRD_ETHER);
    WriteBig16(&packet[kProtocolTypeAt], ETH_P_IP);
    packet[kLengthsAt] = 6;
    packet[kLengthsAt + 1] = 4;
    WriteBig16(&packet[kOperationAt], ARPOP_REQUEST);
    std::memcpy(&packet[kSenderMacAt], senderMac.data(), senderMac.size());
    std::memcpy(&packet[kSenderIpAt], &senderIp, 4);
    // The target hardware address stays zero: that is what we ask for.
    std::memcpy(&packet[kTargetIpAt], &targetIp, 4);
    return packet;
}

std::vector<sock_filter> ArpReplyFilter()
{
    // Absolute loads read in network byte order, so each field is compared
    // with its value as a number. Every failed test jumps to the final "drop".
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kHardwareTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_ETHER, 0, 8),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kProtocolTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 6),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kLengthsAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0604, 0, 4),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kOperationAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPOP_REPLY, 0, 2),
        // A load past the end drops the packet: this one drops a short one.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kTargetIpAt),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return program;
}

bool ParseArpReply(const uint8_t *data, std::size_t size, uint32_t *senderIp, MacAddress *mac)
{
    if (size < kArpPacketSize)
        return false;
    if (ReadBig16(data + kHardwareTypeAt) != ARPHRD_ETHER ||
        ReadBig16(data + kProtocolTypeAt) != ETH_P_IP || data[kLengthsAt] != 6 ||
        data[kLengthsAt + 1] != 4 || ReadBig16(data + kOperationAt) != ARPOP_REPLY)
        return false;
    std::memcpy(senderIp, data + kSenderIpAt, 4);
    std::memcpy(mac->data(), data + kSenderMacAt, mac->size());
    return true;
}

Outcome OpenArpSocket(const LinkInterface &link, FileDescriptor *socket)
{
    // Protocol 0 receives nothing until bind() names ARP, so no frame can
    // slip in before the filter is in place.
    FileDescriptor opened(OpenSocket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!opened.valid())
        return errno == EPERM || errno == EACCES ? Outcome::NotPermitted : Outcome::Failed;

    std::vector<sock_filter> program = ArpReplyFilter();
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::setsockopt(opened.get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        return Outcome::Failed;
    // Nobody who gets hold of the socket later may take the filter off and
    // read the rest of the LAN's traffic.
    const int locked = 1;
    if (::setsockopt(opened.get(), SOL_SOCKET, SO_LOCK_FILTER, &locked, sizeof locked) != 0)
        return Outcome::Failed;
    // A scan of a wide network sends a thousand requests in a burst; room
    // for them saves resending the ones the queue would refuse.
    const int room = 1 << 20;
    ::setsockopt(opened.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(opened.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = link.index;
    if (::bind(opened.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return Outcome::Failed;
    *socket = std::move(opened);
    return Outcome::Answered;
}

Outcome ArpEngine::Attach(const LinkInterface &link)
{
    if (Attached(link.index))
        return Outcome::Answered;
    auto socket = std::make_unique<FileDescriptor>();
    const Outcome outcome = OpenArpSocket(link, socket.get());
    if (outcome == Outcome::Answered)
        sockets[link.index] = std::move(socket);
    return outcome;
}

bool ArpEngine::Attached(int ifindex) const
{
    return sockets.count(ifindex) != 0;
}

void ArpEngine::Start(uint64_t id, int ifindex, const MacAddress &ownMac, uint32_t sourceIp,
                      uint32_t destIp)
{
    Resolution resolution;
    resolution.ifindex = ifindex;
    resolution.destIp = destIp;
    resolution.request = BuildArpRequest(ownMac, sourceIp, destIp);
    resolution.nextSend = Clock::now();
    // Until the last request has gone; then kResendInterval after it.
    resolution.deadline = resolution.nextSend + kSendPatience;
    if (!pending.emplace(id, resolution).second)
        return;
    bySender.emplace(std::make_pair(ifindex, destIp), id);
}

void ArpEngine::Cancel(uint64_t id)
{
    const auto found = pending.find(id);
    if (found == pending.end())
        return;
    auto range = bySender.equal_range({found->second.ifindex, found->second.destIp});
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == id) {
            bySender.erase(entry);
            break;
        }
    }
    pending.erase(found);
}

void ArpEngine::Descriptors(std::vector<pollfd> *fds) const
{
    for (const auto &socket : sockets)
        fds->push_back(pollfd{socket.second->get(), POLLIN, 0});
}

void ArpEngine::Finish(uint64_t id, bool answered, const MacAddress &mac,
                       std::vector<Result> *ended, bool held)
{
    Result result;
    result.id = id;
    result.answered = answered;
    result.heldBack = held;
    result.mac = mac;
    ended->push_back(result);
    Cancel(id);
}

void ArpEngine::Receive(int ifindex, int fd, std::vector<Result> *ended)
{
    for (int read = 0; read < kRepliesPerService; ++read) {
        uint8_t frame[128];
        const ssize_t size = ::recv(fd, frame, sizeof frame, MSG_TRUNC);
        if (size < 0)
            return;
        Hear(ifindex, frame, std::min(static_cast<std::size_t>(size), sizeof frame), ended);
    }
}

void ArpEngine::Hear(int ifindex, const uint8_t *frame, std::size_t size,
                     std::vector<Result> *ended)
{
    uint32_t sender = 0;
    MacAddress mac{};
    if (!ParseArpReply(frame, size, &sender, &mac))
        return;
    const Clock::time_point now = Clock::now();
    auto range = bySender.equal_range({ifindex, sender});
    if (range.first == range.second) {
        // Late, or never asked: it only counts as a second card for an
        // address that answered.
        if (answers.Heard(ifindex, sender, mac, now)) {
            Result other;
            other.otherCard = true;
            other.address = sender;
            other.mac = mac;
            ended->push_back(other);
        }
        return;
    }
    std::vector<uint64_t> answered;
    for (auto entry = range.first; entry != range.second; ++entry)
        answered.push_back(entry->second);
    for (const uint64_t id : answered)
        Finish(id, true, mac, ended);
    answers.Answered(ifindex, sender, mac, now);
}

void AnswerBook::Answered(int ifindex, uint32_t address, const MacAddress &mac,
                          Clock::time_point now)
{
    Forget(now);
    Entry &entry = entries[address];
    entry = Entry{ifindex, mac, MacAddress{}, false, now};
    order.emplace_back(now, address);
    Forget(now);
}

bool AnswerBook::Heard(int ifindex, uint32_t address, const MacAddress &mac, Clock::time_point now)
{
    Forget(now);
    const auto found = entries.find(address);
    if (found == entries.end())
        return false;
    Entry &entry = found->second;
    if (entry.twice || entry.ifindex != ifindex || entry.answer == mac || now - entry.at > kListen)
        return false;
    entry.other = mac;
    entry.twice = true;
    return true;
}

bool AnswerBook::Other(uint32_t address, const MacAddress &mac, Clock::time_point since,
                       MacAddress *other) const
{
    const auto found = entries.find(address);
    if (found == entries.end() || !found->second.twice || found->second.at < since)
        return false;
    *other = mac == found->second.answer ? found->second.other : found->second.answer;
    return true;
}

void AnswerBook::Forget(Clock::time_point now)
{
    while (!order.empty() && (order.size() > kMost || order.front().first + kKeep <= now)) {
        const auto found = entries.find(order.front().second);
        if (found != entries.end() && found->second.at == order.front().first)
            entries.erase(found);
        order.pop_front();
    }
}

void ArpEngine::Service(const std::vector<pollfd> &polled, std::vector<Result> *ended)
{
    for (const pollfd &fd : polled) {
        if (!fd.revents)
            continue;
        for (const auto &socket : sockets) {
            if (socket.second->get() != fd.fd)
                continue;
            if (fd.revents & POLLERR) {
                // The interface went down, or a send failed: nothing to keep.
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
            Receive(socket.first, fd.fd, ended);
            break;
        }
    }

    const Clock::time_point now = Clock::now();
    std::vector<uint64_t> expired;
    Send(now, &expired);
    for (const uint64_t id : expired) {
        const Resolution &resolution = pending.at(id);
        // Not one request went out, for the gate's sake.
        const bool held = resolution.gateHeld && resolution.requestsLeft == kRequests;
        Finish(id, false, MacAddress{}, ended, held);
    }
}

void ArpEngine::Send(Clock::time_point now, std::vector<uint64_t> *expired)
{
    heldBack.clear();
    std::set<int> sending; // interfaces with requests still to send
    for (auto &entry : pending) {
        Resolution &resolution = entry.second;
        if (now >= resolution.deadline) {
            expired->push_back(entry.first);
            continue;
        }
        if (resolution.requestsLeft == 0)
            continue;
        sending.insert(resolution.ifindex);
        if (now < resolution.nextSend)
            continue;
        if (heldBack.count(resolution.ifindex)) {
            resolution.gateHeld = true;
            continue;
        }
        const auto socket = sockets.find(resolution.ifindex);
        if (socket == sockets.end()) {
            expired->push_back(entry.first);
            continue;
        }
        Clock::time_point retry;
        if (gate && !gate->MaySend(resolution.ifindex, now, &retry)) {
            // Later ones on this interface wait too, so that they keep their order.
            heldBack[resolution.ifindex] = retry;
            resolution.gateHeld = true;
            continue;
        }
        sockaddr_ll broadcast{};
        broadcast.sll_family = AF_PACKET;
        broadcast.sll_protocol = htons(ETH_P_ARP);
        broadcast.sll_ifindex = resolution.ifindex;
        broadcast.sll_halen = 6;
        std::memset(broadcast.sll_addr, 0xFF, 6);
        const ssize_t sent =
            ::sendto(socket->second->get(), resolution.request.data(), resolution.request.size(), 0,
                     reinterpret_cast<const sockaddr *>(&broadcast), sizeof broadcast);
        if (sent >= 0 || (errno != EAGAIN && errno != ENOBUFS)) {
            // Sent, or lost for a reason a retry would not mend: the next
            // copy goes out kResendInterval later.
            resolution.nextSend = now + kResendInterval;
            if (--resolution.requestsLeft == 0)
                resolution.deadline = now + kResendInterval;
        } else {
            // The queue is full for a moment: this copy goes as soon as it
            // has room.
            resolution.nextSend = now + std::chrono::milliseconds(2);
        }
    }
    if (gate) {
        for (const auto &socket : sockets) {
            if (!sending.count(socket.first))
                gate->Idle(socket.first);
        }
    }
}

Clock::time_point ArpEngine::NextEvent() const
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto &entry : pending) {
        const Resolution &resolution = entry.second;
        next = std::min(next, resolution.deadline);
        if (resolution.requestsLeft == 0)
            continue;
        const auto held = heldBack.find(resolution.ifindex);
        next = std::min(next, held == heldBack.end() ? resolution.nextSend
                                                     : std::max(resolution.nextSend, held->second));
    }
    return next;
}

} // namespace platform::linuxarp
