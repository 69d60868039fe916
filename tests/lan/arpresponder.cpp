// A made-up host for the namespace tests: answers ARP requests for chosen
// addresses on one interface, the way an awkward host would.
//
//   arpresponder IFNAME SECONDS HOST...
//   HOST = IP=MAC[,delay=MS][,drop=N][,claim=IP]
//
// delay: answer MS milliseconds late (a slow link); drop: ignore the first N
// requests of every series, a series ending after two quiet seconds (a host
// that misses a request); claim: answer with another sender address (a reply
// that must not be taken for the asked one). Prints "ready" once listening
// and stops by itself after SECONDS.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Host
{
    uint32_t address = 0; // network byte order
    unsigned char mac[6] = {};
    std::chrono::milliseconds delay{0};
    int drop = 0;
    uint32_t claim = 0;
    int seenInSeries = 0;
    Clock::time_point lastRequest{};
};

struct Pending
{
    Clock::time_point due;
    unsigned char frame[28];
    sockaddr_ll to;
};

bool ParseMac(const std::string &text, unsigned char *mac)
{
    unsigned value[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &value[0], &value[1], &value[2], &value[3],
                    &value[4], &value[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<unsigned char>(value[i]);
    return true;
}

bool ParseHost(const std::string &text, Host *host)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos)
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, text.substr(0, equals).c_str(), &address) != 1)
        return false;
    host->address = address.s_addr;
    host->claim = address.s_addr;
    std::string rest = text.substr(equals + 1);
    std::size_t comma = rest.find(',');
    if (!ParseMac(rest.substr(0, comma), host->mac))
        return false;
    while (comma != std::string::npos) {
        rest = rest.substr(comma + 1);
        comma = rest.find(',');
        const std::string option = rest.substr(0, comma);
        if (option.rfind("delay=", 0) == 0) {
            host->delay = std::chrono::milliseconds(std::atoi(option.c_str() + 6));
        } else if (option.rfind("drop=", 0) == 0) {
            host->drop = std::atoi(option.c_str() + 5);
        } else if (option.rfind("claim=", 0) == 0) {
            in_addr claim{};
            if (inet_pton(AF_INET, option.c_str() + 6, &claim) != 1)
                return false;
            host->claim = claim.s_addr;
        } else {
            return false;
        }
    }
    return true;
}

volatile std::sig_atomic_t stopping = 0;

void Stop(int)
{
    stopping = 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IFNAME SECONDS IP=MAC[,delay=MS][,drop=N][,claim=IP]...\n",
                     argv[0]);
        return 2;
    }
    std::vector<Host> hosts;
    for (int i = 3; i < argc; ++i) {
        Host host;
        if (!ParseHost(argv[i], &host)) {
            std::fprintf(stderr, "bad host: %s\n", argv[i]);
            return 2;
        }
        hosts.push_back(host);
    }
    const Clock::time_point end = Clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);

    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    if (local.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::perror("bind");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<Pending> pending;
    while (!stopping && Clock::now() < end) {
        Clock::time_point wake = end;
        for (const Pending &reply : pending)
            wake = std::min(wake, reply.due);
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, static_cast<int>(std::max<long long>(0, std::min<long long>(wait, 100))));

        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < pending.size();) {
            if (pending[i].due <= now) {
                sendto(fd, pending[i].frame, sizeof pending[i].frame, 0,
                       reinterpret_cast<const sockaddr *>(&pending[i].to), sizeof pending[i].to);
                pending.erase(pending.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        if (!(waiting.revents & POLLIN))
            continue;

        unsigned char frame[128];
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = recvfrom(fd, frame, sizeof frame, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (size < 28 || frame[6] != 0 || frame[7] != ARPOP_REQUEST)
            continue;
        uint32_t target;
        std::memcpy(&target, frame + 24, 4);
        for (Host &host : hosts) {
            if (host.address != target)
                continue;
            if (now - host.lastRequest > std::chrono::seconds(2))
                host.seenInSeries = 0;
            host.lastRequest = now;
            if (++host.seenInSeries <= host.drop)
                break;
            Pending reply{};
            reply.due = now + host.delay;
            std::memcpy(reply.frame, frame, 8); // hardware and protocol types and lengths
            reply.frame[6] = 0;
            reply.frame[7] = ARPOP_REPLY;
            std::memcpy(reply.frame + 8, host.mac, 6);
            std::memcpy(reply.frame + 14, &host.claim, 4);
            std::memcpy(reply.frame + 18, frame + 8, 10); // the asker's addresses
            reply.to = local;
            reply.to.sll_halen = 6;
            std::memcpy(reply.to.sll_addr, frame + 8, 6);
            pending.push_back(reply);
            break;
        }
    }
    close(fd);
    return 0;
}
