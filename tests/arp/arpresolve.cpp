// Resolves the IPv4 addresses given on the command line with the program's
// own SendARP and prints one "ip mac milliseconds" line per address ("-" for
// no answer), then a summary. For the namespace tests and for benchmarks.
//
//   arpresolve [-j THREADS] [-q] ADDRESS | FIRST-LAST | ADDRESS/PREFIX ...
//
// A prefix stands for its addresses from the network address up to the one
// before the broadcast address, as a scan walks them. -j resolves that many
// addresses at once (default: one thread per address, at most 1024); -q
// prints only the addresses that answered.

#include "platform/sendarp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result
{
    uint32_t address = 0; // network byte order
    quint32 error = 0;
    quint32 length = 0;
    unsigned char mac[8] = {};
    double milliseconds = 0;
};

bool ParseAddress(const std::string &text, uint32_t *host)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    *host = ntohl(parsed.s_addr);
    return true;
}

bool Expand(const std::string &argument, std::vector<uint32_t> *addresses)
{
    uint32_t first = 0;
    uint32_t last = 0;
    const std::size_t dash = argument.find('-');
    const std::size_t slash = argument.find('/');
    if (dash != std::string::npos) {
        if (!ParseAddress(argument.substr(0, dash), &first) ||
            !ParseAddress(argument.substr(dash + 1), &last) || last < first)
            return false;
    } else if (slash != std::string::npos) {
        const int prefix = std::atoi(argument.c_str() + slash + 1);
        if (!ParseAddress(argument.substr(0, slash), &first) || prefix < 8 || prefix > 32)
            return false;
        const uint32_t mask = prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
        first &= mask;
        last = prefix >= 31 ? (first | ~mask) : (first | ~mask) - 1;
    } else {
        if (!ParseAddress(argument, &first))
            return false;
        last = first;
    }
    for (uint64_t host = first; host <= last; ++host)
        addresses->push_back(htonl(static_cast<uint32_t>(host)));
    return true;
}

std::string Text(uint32_t address)
{
    char buffer[INET_ADDRSTRLEN] = {};
    in_addr value{};
    value.s_addr = address;
    inet_ntop(AF_INET, &value, buffer, sizeof buffer);
    return buffer;
}

} // namespace

int main(int argc, char **argv)
{
    std::size_t threads = 0;
    bool quiet = false;
    std::vector<uint32_t> addresses;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-j" && i + 1 < argc) {
            threads = static_cast<std::size_t>(std::atoi(argv[++i]));
        } else if (argument == "-q") {
            quiet = true;
        } else if (!Expand(argument, &addresses)) {
            std::fprintf(stderr,
                         "usage: %s [-j THREADS] [-q] ADDRESS|FIRST-LAST|ADDRESS/PREFIX...\n",
                         argv[0]);
            return 2;
        }
    }
    if (addresses.empty()) {
        std::fprintf(stderr, "no address given\n");
        return 2;
    }
    if (threads == 0)
        threads = std::min<std::size_t>(addresses.size(), 1024);
    threads = std::min(threads, addresses.size());

    std::vector<Result> results(addresses.size());
    std::atomic<std::size_t> next{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < addresses.size(); i = next++) {
                Result &result = results[i];
                result.address = addresses[i];
                result.length = sizeof result.mac;
                std::memset(result.mac, 0xFF, sizeof result.mac);
                const Clock::time_point began = Clock::now();
                result.error = platform::SendARP(result.address, 0, result.mac, &result.length);
                result.milliseconds =
                    std::chrono::duration<double, std::milli>(Clock::now() - began).count();
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    const double total = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

    std::size_t answered = 0;
    double slowestAnswer = 0;
    double slowestSilence = 0;
    double sumSilence = 0;
    for (const Result &result : results) {
        const bool ok = result.error == 0 && result.length != 0;
        if (ok) {
            ++answered;
            slowestAnswer = std::max(slowestAnswer, result.milliseconds);
        } else {
            slowestSilence = std::max(slowestSilence, result.milliseconds);
            sumSilence += result.milliseconds;
        }
        if (!ok && quiet)
            continue;
        std::string mac = "-";
        if (ok) {
            mac.clear();
            for (quint32 b = 0; b < result.length; ++b) {
                char pair[4];
                std::snprintf(pair, sizeof pair, b ? ":%02X" : "%02X", result.mac[b]);
                mac += pair;
            }
        }
        std::printf("%s %s %.1f", Text(result.address).c_str(), mac.c_str(), result.milliseconds);
        if (!ok)
            std::printf(" error=%u", result.error);
        std::printf("\n");
    }
    const std::size_t silent = results.size() - answered;
    std::printf("# %zu addresses, %zu threads: %zu answered (slowest %.1f ms), %zu silent "
                "(mean %.1f ms, slowest %.1f ms), all done in %.1f ms\n",
                results.size(), threads, answered, slowestAnswer, silent,
                silent ? sumSilence / static_cast<double>(silent) : 0.0, slowestSilence, total);
    return 0;
}
