// The program's side of the resolver helper (resolver/): finds it, starts it
// on a socket pair, and hands it the resolutions of every thread.

#include "platform/resolverclient.h"
#include "platform/linuxlinks.h"
#include "platform/resolverprotocol.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <linux/capability.h>
#include <map>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace platform::linuxarp {

namespace {

std::string ExecutableFolder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    const std::string executable(path, static_cast<std::size_t>(length));
    const std::size_t slash = executable.rfind('/');
    return slash == std::string::npos ? std::string() : executable.substr(0, slash);
}

class HelperClient
{
public:
    static HelperClient &Instance()
    {
        // Never destroyed: the helper serves until the process ends, and
        // ends with it.
        static HelperClient *client = new HelperClient;
        return *client;
    }

    Outcome Resolve(uint32_t destIp, MacAddress *mac)
    {
        Waiter self;
        uint32_t id = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (state == State::Idle) {
                state = State::Starting;
                std::thread([this] { Run(); }).detach();
            }
            const bool waited = WaitUnlessStopped(changed, lock, Clock::time_point::max(), [&] {
                return state == State::Ended ||
                       (state == State::Serving && outstanding < resolver::kClientOutstanding);
            });
            if (!waited)
                return Outcome::NoAnswer;
            if (state == State::Ended)
                return Outcome::NotPermitted;
            id = nextId++;
            waiting[id] = &self;
            ++outstanding;
        }

        resolver::Request request;
        request.id = id;
        request.address = destIp;
        const resolver::RequestBytes bytes = resolver::EncodeRequest(request);
        bool sent = false;
        {
            std::lock_guard<std::mutex> writing(writeMutex);
            sent = ::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(bytes.size());
        }

        std::unique_lock<std::mutex> lock(mutex);
        if (sent) {
            // The helper gives up on its own after kAnswerWait; the margin
            // only guards against one that stopped serving.
            const Clock::time_point until = Clock::now() + kAnswerWait + std::chrono::seconds(3);
            WaitUnlessStopped(self.ended, lock, until,
                              [&] { return self.done || state == State::Ended; });
        }
        if (!self.done) {
            waiting.erase(id);
            // The answer still comes and is dropped; it still counts until
            // then, so that the helper never holds more than allowed.
            if (state == State::Ended || !sent)
                return Outcome::NotPermitted;
            return Outcome::NoAnswer;
        }
        if (!self.answered)
            return Outcome::NoAnswer;
        *mac = self.mac;
        return Outcome::Answered;
    }

private:
    enum class State
    {
        Idle,
        Starting,
        Serving,
        Ended
    };

    struct Waiter
    {
        std::condition_variable ended;
        bool done = false;
        bool answered = false;
        MacAddress mac{};
    };

    // Starts the helper from this thread, which lives as long as the helper
    // serves: the helper's parent-death signal follows the thread that
    // started it. Then reads its replies.
    void Run()
    {
        const pid_t helper = Start();
        if (helper > 0) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                state = State::Serving;
            }
            changed.notify_all();
            Serve();
            ::kill(helper, SIGKILL); // gone already, or it spoke out of turn
            int status = 0;
            while (::waitpid(helper, &status, 0) < 0 && errno == EINTR) {
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        state = State::Ended;
        changed.notify_all();
        for (auto &entry : waiting)
            entry.second->ended.notify_one();
    }

    pid_t Start()
    {
        const std::string path = FindHelper();
        if (path.empty())
            return -1;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return -1;
        FileDescriptor ours(ends[0]);
        FileDescriptor theirs(ends[1]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, theirs.get(), STDOUT_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        char *const arguments[] = {const_cast<char *>(path.c_str()), nullptr};
        char *const environment[] = {nullptr};
        pid_t pid = -1;
        const int failed =
            ::posix_spawn(&pid, path.c_str(), &actions, nullptr, arguments, environment);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            return -1;
        socket = std::move(ours);
        return pid;
    }

    void Serve()
    {
        std::vector<uint8_t> pending;
        for (;;) {
            uint8_t chunk[4096];
            const ssize_t size = ::recv(socket.get(), chunk, sizeof chunk, 0);
            if (size < 0 && errno == EINTR)
                continue;
            if (size <= 0)
                return;
            pending.insert(pending.end(), chunk, chunk + size);
            std::size_t used = 0;
            std::lock_guard<std::mutex> lock(mutex);
            for (; pending.size() - used >= resolver::kReplySize; used += resolver::kReplySize) {
                resolver::Reply reply;
                if (!resolver::DecodeReply(pending.data() + used, resolver::kReplySize, &reply))
                    return;
                if (outstanding > 0)
                    --outstanding;
                const auto found = waiting.find(reply.id);
                if (found == waiting.end())
                    continue;
                Waiter *waiter = found->second;
                waiting.erase(found);
                waiter->done = true;
                waiter->answered = reply.answered;
                waiter->mac = reply.mac;
                waiter->ended.notify_one();
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Idle;
    uint32_t nextId = 1;
    std::size_t outstanding = 0;
    std::map<uint32_t, Waiter *> waiting;

    std::mutex writeMutex;
    FileDescriptor socket; // set before Serving, never changed after
};

} // namespace

bool HasRawCapability(const std::string &path)
{
    if (::access(path.c_str(), X_OK) != 0)
        return false;
    vfs_ns_cap_data data{};
    const ssize_t size = ::getxattr(path.c_str(), "security.capability", &data, sizeof data);
    if (size < static_cast<ssize_t>(XATTR_CAPS_SZ_2))
        return false;
    const uint32_t magic = le32toh(data.magic_etc);
    const uint32_t revision = magic & VFS_CAP_REVISION_MASK;
    if (revision != VFS_CAP_REVISION_2 && revision != VFS_CAP_REVISION_3)
        return false;
    if (!(magic & VFS_CAP_FLAGS_EFFECTIVE))
        return false;
    return (le32toh(data.data[CAP_TO_INDEX(CAP_NET_RAW)].permitted) & CAP_TO_MASK(CAP_NET_RAW)) !=
           0;
}

std::string FindHelper()
{
    const std::string folder = ExecutableFolder();
    if (folder.empty())
        return {};
    for (const char *place : {"/../libexec/trelvan/trelvan-resolver", "/trelvan-resolver"}) {
        const std::string path = folder + place;
        if (HasRawCapability(path))
            return path;
    }
    return {};
}

Outcome HelperResolve(uint32_t destIp, MacAddress *mac)
{
    return HelperClient::Instance().Resolve(destIp, mac);
}

} // namespace platform::linuxarp
