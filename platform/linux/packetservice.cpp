// The program's own packet sockets, for a process that may open them (root):
// one engine, one socket per interface and one thread that drives them for
// every resolution of the process.

#include "platform/linux/packetservice.h"
#include "platform/linux/packetarp.h"

#include <cerrno>
#include <map>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace platform::linuxarp {

namespace {

class PacketService
{
public:
    static PacketService &Instance()
    {
        // Never destroyed: its thread serves until the process ends.
        static PacketService *service = new PacketService;
        return *service;
    }

    Outcome Resolve(const LinkInterface &link, uint32_t sourceIp, uint32_t destIp, MacAddress *mac)
    {
        Waiter self;
        uint64_t id = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const Outcome attached = engine.Attach(link);
            if (attached != Outcome::Answered)
                return attached;
            if (!wake.valid()) {
                wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
                if (!wake.valid())
                    return Outcome::Failed;
                std::thread([this] { Run(); }).detach();
            }
            MacAddress ownMac{};
            std::copy(link.hardwareAddress.begin(), link.hardwareAddress.end(), ownMac.begin());
            id = nextId++;
            waiting[id] = &self;
            engine.Start(id, link.index, ownMac, sourceIp, destIp);
        }
        Wake();

        std::unique_lock<std::mutex> lock(mutex);
        // The engine gives up on its own after kAnswerWait; the margin only
        // guards against a thread that stopped serving.
        const Clock::time_point until = Clock::now() + kAnswerWait + std::chrono::seconds(2);
        WaitUnlessStopped(self.ended, lock, until, [&] { return self.done; });
        if (!self.done) {
            engine.Cancel(id);
            waiting.erase(id);
            return Outcome::NoAnswer;
        }
        if (!self.answered)
            return Outcome::NoAnswer;
        *mac = self.mac;
        return Outcome::Answered;
    }

    bool OtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                   MacAddress *other)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return engine.Answers().Other(destIp, mac, since, other);
    }

private:
    struct Waiter
    {
        std::condition_variable ended;
        bool done = false;
        bool answered = false;
        MacAddress mac{};
    };

    void Wake()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake.get(), &one, sizeof one);
    }

    void Run()
    {
        std::vector<pollfd> fds;
        std::vector<ArpEngine::Result> ended;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            fds.assign(1, pollfd{wake.get(), POLLIN, 0});
            engine.Descriptors(&fds);
            const Clock::time_point next = engine.NextEvent();
            lock.unlock();
            timespec timeout{};
            const timespec *limit = nullptr;
            if (next != Clock::time_point::max()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now())
                        .count();
                if (left > 0) {
                    timeout.tv_sec = static_cast<time_t>(left / 1000000000);
                    timeout.tv_nsec = static_cast<long>(left % 1000000000);
                }
                limit = &timeout;
            }
            ::ppoll(fds.data(), fds.size(), limit, nullptr);
            if (fds[0].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t read = ::read(wake.get(), &count, sizeof count);
            }
            lock.lock();
            ended.clear();
            engine.Service(fds, &ended);
            for (const ArpEngine::Result &result : ended) {
                if (result.otherCard)
                    continue; // the engine's book keeps it for OtherCard
                const auto found = waiting.find(result.id);
                if (found == waiting.end())
                    continue;
                Waiter *waiter = found->second;
                waiting.erase(found);
                waiter->done = true;
                waiter->answered = result.answered;
                waiter->mac = result.mac;
                waiter->ended.notify_one();
            }
        }
    }

    std::mutex mutex;
    ArpEngine engine;
    FileDescriptor wake;
    uint64_t nextId = 1;
    std::map<uint64_t, Waiter *> waiting;
};

} // namespace

bool PacketOtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                     MacAddress *other)
{
    return PacketService::Instance().OtherCard(destIp, mac, since, other);
}

Outcome PacketResolve(const LinkInterface &link, uint32_t sourceIp, uint32_t destIp,
                      MacAddress *mac)
{
    return PacketService::Instance().Resolve(link, sourceIp, destIp, mac);
}

} // namespace platform::linuxarp
