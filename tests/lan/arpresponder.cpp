// A made-up host for the namespace tests: answers ARP requests for chosen
// addresses on one interface, the way an awkward host would.
//
//   arpresponder IFNAME SECONDS HOST...
//   HOST = IP=MAC[,delay=MS][,drop=N][,claim=IP]
//        | flood=NETWORK/PREFIX[,skip=FILE]
//
// delay: answer MS milliseconds late (a slow link); drop: ignore the first N
// requests of every series, a series ending after two quiet seconds (a host
// that misses a request); claim: answer with another sender address (a reply
// that must not be taken for the asked one). Two HOSTs may answer for one
// address: both reply (two cards claiming it). flood: a hostile neighbour
// that answers for every other address of the network, but those listed in
// FILE (one a line) and the network's first and last, with a fresh random
// card at each series of requests. Prints "ready" once listening and stops by
// itself after SECONDS.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <random>
#include <set>
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

// Answers for the addresses nobody holds, a fresh card at each series.
struct Flood
{
    uint32_t network = 0; // host byte order
    uint32_t mask = 0;
    std::set<uint32_t> skipped; // network byte order
    struct Series
    {
        unsigned char mac[6] = {};
        Clock::time_point lastAsked{}; // the last request to everyone
    };
    std::map<uint32_t, Series> series;
    std::mt19937_64 random{std::random_device{}()};

    // The card that answers for target now, or nullptr. Only requests to
    // everyone start or continue a series: the asker's checks of a card it
    // knows, sent to that card, keep it.
    const unsigned char *Card(uint32_t target, bool toEveryone, Clock::time_point now)
    {
        const uint32_t address = ntohl(target);
        if (mask == 0 || (address & mask) != network || address == network ||
            address == (network | ~mask) || skipped.count(target))
            return nullptr;
        Series &one = series[target];
        if (toEveryone || one.lastAsked == Clock::time_point{}) {
            if (now - one.lastAsked > std::chrono::seconds(2)) {
                const uint64_t bits = random();
                std::memcpy(one.mac, &bits, 6);
                one.mac[0] = static_cast<unsigned char>((one.mac[0] & 0xFC) | 0x02);
            }
            one.lastAsked = now;
        }
        return one.mac;
    }
};

bool ParseFlood(const std::string &text, Flood *flood)
{
    std::string rest = text.substr(6);
    const std::size_t comma = rest.find(',');
    const std::string cidr = rest.substr(0, comma);
    const std::size_t slash = cidr.find('/');
    in_addr address{};
    if (slash == std::string::npos ||
        inet_pton(AF_INET, cidr.substr(0, slash).c_str(), &address) != 1)
        return false;
    const int prefix = std::atoi(cidr.c_str() + slash + 1);
    if (prefix < 16 || prefix > 30)
        return false;
    flood->mask = ~0u << (32 - prefix);
    flood->network = ntohl(address.s_addr) & flood->mask;
    if (comma == std::string::npos)
        return true;
    rest = rest.substr(comma + 1);
    if (rest.rfind("skip=", 0) != 0)
        return false;
    std::ifstream file(rest.substr(5));
    if (!file)
        return false;
    std::string line;
    while (std::getline(file, line)) {
        in_addr skipped{};
        if (!line.empty() && inet_pton(AF_INET, line.c_str(), &skipped) == 1)
            flood->skipped.insert(skipped.s_addr);
    }
    return true;
}

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
        std::fprintf(stderr,
                     "usage: %s IFNAME SECONDS IP=MAC[,delay=MS][,drop=N][,claim=IP]... "
                     "[flood=NETWORK/PREFIX[,skip=FILE]]\n",
                     argv[0]);
        return 2;
    }
    std::vector<Host> hosts;
    Flood flood;
    for (int i = 3; i < argc; ++i) {
        Host host;
        if (std::strncmp(argv[i], "flood=", 6) == 0) {
            if (!ParseFlood(argv[i], &flood)) {
                std::fprintf(stderr, "bad flood: %s\n", argv[i]);
                return 2;
            }
            continue;
        }
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
        const auto answer = [&](const unsigned char *mac, uint32_t sender,
                                std::chrono::milliseconds delay) {
            Pending reply{};
            reply.due = now + delay;
            std::memcpy(reply.frame, frame, 8); // hardware and protocol types and lengths
            reply.frame[6] = 0;
            reply.frame[7] = ARPOP_REPLY;
            std::memcpy(reply.frame + 8, mac, 6);
            std::memcpy(reply.frame + 14, &sender, 4);
            std::memcpy(reply.frame + 18, frame + 8, 10); // the asker's addresses
            reply.to = local;
            reply.to.sll_halen = 6;
            std::memcpy(reply.to.sll_addr, frame + 8, 6);
            pending.push_back(reply);
        };
        bool held = false;
        for (Host &host : hosts) {
            if (host.address != target)
                continue;
            held = true;
            if (now - host.lastRequest > std::chrono::seconds(2))
                host.seenInSeries = 0;
            host.lastRequest = now;
            if (++host.seenInSeries <= host.drop)
                continue;
            answer(host.mac, host.claim, host.delay);
        }
        if (!held) {
            if (const unsigned char *card =
                    flood.Card(target, from.sll_pkttype == PACKET_BROADCAST, now))
                answer(card, target, std::chrono::milliseconds(0));
        }
    }
    close(fd);
    return 0;
}
