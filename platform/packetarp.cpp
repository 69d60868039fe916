// Resolution with ARP requests of our own, for processes that may open a
// packet socket (root, or the CAP_NET_RAW capability).

#include "platform/linuxarp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
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

std::vector<sock_filter> ArpReplyFilter(uint32_t senderIp)
{
    // Absolute loads read in network byte order, so each field is compared
    // with its value as a number; the address, stored in network order,
    // becomes ntohl(senderIp). Every failed test jumps to the final "drop".
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kHardwareTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_ETHER, 0, 9),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kProtocolTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 7),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kLengthsAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0604, 0, 5),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kOperationAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPOP_REPLY, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kSenderIpAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(senderIp), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    return program;
}

bool ParseArpReply(const uint8_t *data, std::size_t size, uint32_t senderIp, MacAddress *mac)
{
    if (size < kArpPacketSize)
        return false;
    if (ReadBig16(data + kHardwareTypeAt) != ARPHRD_ETHER ||
        ReadBig16(data + kProtocolTypeAt) != ETH_P_IP || data[kLengthsAt] != 6 ||
        data[kLengthsAt + 1] != 4 || ReadBig16(data + kOperationAt) != ARPOP_REPLY)
        return false;
    uint32_t sender;
    std::memcpy(&sender, data + kSenderIpAt, 4);
    if (sender != senderIp)
        return false;
    std::memcpy(mac->data(), data + kSenderMacAt, mac->size());
    return true;
}

Outcome PacketResolve(const LinkInterface &link, uint32_t sourceIp, uint32_t destIp,
                      MacAddress *mac)
{
    // Protocol 0 receives nothing until bind() names ARP, so no frame can
    // slip in before the filter is in place.
    FileDescriptor socket(OpenSocket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid())
        return errno == EPERM || errno == EACCES ? Outcome::NotPermitted : Outcome::Failed;

    std::vector<sock_filter> program = ArpReplyFilter(destIp);
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        return Outcome::Failed;

    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = link.index;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return Outcome::Failed;

    MacAddress ownMac{};
    std::copy(link.hardwareAddress.begin(), link.hardwareAddress.end(), ownMac.begin());
    const ArpPacket request = BuildArpRequest(ownMac, sourceIp, destIp);
    sockaddr_ll broadcast = local;
    broadcast.sll_halen = 6;
    std::memset(broadcast.sll_addr, 0xFF, 6);

    const Clock::time_point deadline = Clock::now() + kAnswerWait;
    Clock::time_point nextSend = Clock::now();
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return Outcome::NoAnswer;
        if (now >= nextSend) {
            // A full transmit queue loses this copy only; the next one goes
            // out on schedule.
            ::sendto(socket.get(), request.data(), request.size(), 0,
                     reinterpret_cast<const sockaddr *>(&broadcast), sizeof broadcast);
            nextSend += kResendInterval;
            now = Clock::now();
        }

        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min(nextSend, deadline) - now);
        timespec timeout{};
        if (wait.count() > 0) {
            timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        }
        pollfd waiting{socket.get(), POLLIN, 0};
        const int ready = ::ppoll(&waiting, 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR)
            return Outcome::Failed;
        if (ready <= 0)
            continue;
        if (waiting.revents & (POLLERR | POLLNVAL))
            return Outcome::Failed; // the interface went away
        for (;;) {
            uint8_t frame[128];
            const ssize_t size = ::recv(socket.get(), frame, sizeof frame, MSG_TRUNC);
            if (size < 0)
                break;
            if (ParseArpReply(frame, std::min<std::size_t>(size, sizeof frame), destIp, mac))
                return Outcome::Answered;
        }
    }
}

} // namespace platform::linuxarp
