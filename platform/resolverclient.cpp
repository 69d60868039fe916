// The program's side of the resolver helper (resolver/): starts the genuine
// helper on a socket pair, and hands it the resolutions of every thread
// without ever waiting on it past a deadline.

#include "platform/resolverclient.h"
#include "platform/helperfile.h"
#include "platform/platformlog.h"
#include "platform/resolverprotocol.h"

#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace platform::linuxarp {

namespace {

// Past their deadline and still owed a reply: more than the helper would
// hold beside our capacity means it no longer answers at all.
constexpr std::size_t kLateLimit = resolver::kMaxOutstanding - resolver::kClientOutstanding;

} // namespace

HelperSession::HelperSession(FileDescriptor socket, Clock::duration replyDeadline,
                             std::size_t capacity)
    : replyDeadline(replyDeadline), capacity(std::max<std::size_t>(capacity, 1)),
      socket(std::move(socket))
{
}

std::size_t HelperSession::Waiting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return waiting.size();
}

Outcome HelperSession::Resolve(uint32_t destIp, MacAddress *mac)
{
    Waiter self;
    uint32_t id = 0;
    Clock::time_point deadline;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Slots free at the latest at their requests' deadlines.
        const bool stayed = WaitUnlessStopped(slotFreed, lock, Clock::now() + replyDeadline, [&] {
            return ended != End::None || waiting.size() < capacity;
        });
        if (!stayed)
            return Outcome::NoAnswer;
        if (ended != End::None || waiting.size() >= capacity)
            return Outcome::NotPermitted;
        do
            id = nextId++;
        while (id == 0 || waiting.count(id) || late.count(id));
        deadline = Clock::now() + replyDeadline;
        waiting[id] = Request{destIp, deadline, &self};
        order.emplace_back(deadline, id);
    }

    const resolver::RequestBytes bytes = resolver::EncodeRequest({id, destIp});
    Written written = Written::Nothing;
    {
        std::unique_lock<std::timed_mutex> writing(writeMutex, deadline);
        if (writing.owns_lock())
            written = Write(bytes.data(), bytes.size(), deadline);
    }

    std::unique_lock<std::mutex> lock(mutex);
    if (written != Written::Whole) {
        // A request that did not go out holds no slot. One cut short leaves
        // the helper in the middle of a record: nothing more can be said.
        if (waiting.erase(id))
            slotFreed.notify_one();
        late.erase(id);
        if (written == Written::Part)
            Finish(End::WriteFailed);
        return Outcome::NotPermitted;
    }
    // Serve wakes us with the reply, at the deadline or at the end; the
    // margin only guards against a Serve that no longer runs.
    const bool stayed =
        WaitUnlessStopped(self.woken, lock, deadline + kStopPoll, [&] { return self.done; });
    if (!self.done) {
        const auto found = waiting.find(id);
        if (found != waiting.end()) {
            if (!stayed) {
                // The request keeps its slot until its reply or deadline.
                found->second.waiter = nullptr;
                return Outcome::NoAnswer;
            }
            late[id] = destIp;
            waiting.erase(found);
            slotFreed.notify_one();
        }
        return stayed ? Outcome::NotPermitted : Outcome::NoAnswer;
    }
    if (!self.replied)
        return Outcome::NotPermitted;
    if (!self.answered)
        return Outcome::NoAnswer;
    *mac = self.mac;
    return Outcome::Answered;
}

HelperSession::Written HelperSession::Write(const uint8_t *data, std::size_t size,
                                            Clock::time_point until)
{
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t now =
            ::send(socket.get(), data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (now > 0) {
            sent += static_cast<std::size_t>(now);
            continue;
        }
        if (now < 0 && errno == EINTR)
            continue;
        if (now == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        // The helper reads slower than we ask: wait for room, but not past
        // the deadline, nor past a request to stop before anything went.
        if (Clock::now() >= until || (sent == 0 && StopRequested()))
            break;
        pollfd room{socket.get(), POLLOUT, 0};
        const timespec timeout = TimeLeft(std::min(until, Clock::now() + kStopPoll));
        ::ppoll(&room, 1, &timeout, nullptr);
    }
    if (sent == size)
        return Written::Whole;
    return sent == 0 ? Written::Nothing : Written::Part;
}

void HelperSession::Finish(End why)
{
    if (ended != End::None)
        return;
    ended = why;
    for (auto &entry : waiting) {
        if (Waiter *waiter = entry.second.waiter) {
            waiter->done = true;
            waiter->woken.notify_one();
        }
    }
    waiting.clear();
    late.clear();
    order.clear();
    slotFreed.notify_all();
    // Wakes Serve should it wait for the helper to speak.
    ::shutdown(socket.get(), SHUT_RDWR);
}

bool HelperSession::Take(const uint8_t *record)
{
    resolver::Reply reply;
    if (!resolver::DecodeReply(record, resolver::kReplySize, &reply)) {
        Finish(End::Malformed);
        return false;
    }
    const auto found = waiting.find(reply.id);
    if (found != waiting.end()) {
        if (found->second.address != reply.address) {
            Finish(End::WrongAddress);
            return false;
        }
        if (Waiter *waiter = found->second.waiter) {
            waiter->done = true;
            waiter->replied = true;
            waiter->answered = reply.answered;
            waiter->mac = reply.mac;
            waiter->woken.notify_one();
        }
        waiting.erase(found);
        slotFreed.notify_one();
    } else {
        const auto wasLate = late.find(reply.id);
        if (wasLate == late.end()) {
            Finish(End::UnknownId);
            return false;
        }
        if (wasLate->second != reply.address) {
            Finish(End::WrongAddress);
            return false;
        }
        late.erase(wasLate);
    }
    timeoutsInARow = 0;
    return true;
}

void HelperSession::Expire(Clock::time_point now)
{
    // Deadlines are all the same length after the request: the oldest
    // request is the first to expire.
    while (!order.empty() && order.front().first <= now) {
        const uint32_t id = order.front().second;
        const Clock::time_point deadline = order.front().first;
        order.pop_front();
        const auto found = waiting.find(id);
        if (found == waiting.end() || found->second.deadline != deadline)
            continue; // replied to, or not sent
        if (Waiter *waiter = found->second.waiter) {
            waiter->done = true;
            waiter->woken.notify_one();
        }
        late[id] = found->second.address;
        waiting.erase(found);
        slotFreed.notify_one();
        ++timeoutsInARow;
    }
    if (timeoutsInARow >= kHelperTimeoutsToEnd || late.size() > kLateLimit)
        Finish(End::Timeouts);
}

HelperSession::End HelperSession::Serve()
{
    for (;;) {
        Clock::time_point next;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (ended != End::None)
                return ended;
            // A request made after this has its deadline later than a
            // deadline from now: waking then is never too late for it.
            next = Clock::now() + replyDeadline;
            if (!order.empty())
                next = std::min(next, order.front().first);
        }
        pollfd readable{socket.get(), POLLIN, 0};
        const timespec timeout = TimeLeft(next);
        const int ready = ::ppoll(&readable, 1, &timeout, nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        if (ready < 0 && errno != EINTR) {
            Finish(End::Closed);
            continue;
        }
        if (ready > 0 && ended == End::None) {
            uint8_t chunk[4096];
            const ssize_t size = ::recv(socket.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
                Finish(End::Closed);
                continue;
            }
            if (size > 0)
                unread.insert(unread.end(), chunk, chunk + size);
            std::size_t used = 0;
            for (; unread.size() - used >= resolver::kReplySize; used += resolver::kReplySize) {
                if (!Take(unread.data() + used))
                    break;
            }
            unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(used));
        }
        if (ended == End::None)
            Expire(Clock::now());
    }
}

namespace {

const char *const kTableTakesOver = "la suite passe par la table de voisinage du noyau";

QString EndLine(HelperSession::End end)
{
    const QString stopped = QStringLiteral("Le résolveur trelvan-resolver %1 : arrêté, %2");
    const QString tail = QString::fromUtf8(kTableTakesOver);
    switch (end) {
    case HelperSession::End::Timeouts:
        return stopped.arg(QStringLiteral("ne répond plus à temps"), tail);
    case HelperSession::End::WrongAddress:
        return stopped.arg(QStringLiteral("a répondu pour une autre adresse que la demandée"),
                           tail);
    case HelperSession::End::UnknownId:
        return stopped.arg(QStringLiteral("a répondu à une demande jamais faite"), tail);
    case HelperSession::End::Malformed:
        return stopped.arg(QStringLiteral("a envoyé une réponse mal formée"), tail);
    case HelperSession::End::WriteFailed:
        return stopped.arg(QStringLiteral("n'a reçu qu'une partie d'une demande"), tail);
    case HelperSession::End::None:
    case HelperSession::End::Closed:
        break;
    }
    return QStringLiteral("Le résolveur trelvan-resolver ne répond plus : %1").arg(tail);
}

// Starts the helper from the descriptor it was checked through, on a socket
// pair; the helper holds its end as standard input and output. Returns the
// helper's process id, or -1.
pid_t StartHelper(const FileDescriptor &file, FileDescriptor *ours)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    FileDescriptor mine(ends[0]);
    FileDescriptor theirs(ends[1]);
    static char name[] = "trelvan-resolver";
    char *const arguments[] = {name, nullptr};
    char *const environment[] = {nullptr};

    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe after fork() until the exec. Neither
        // descriptor may sit where the other is about to go.
        int program = file.get();
        int socket = theirs.get();
        if (program <= STDOUT_FILENO)
            program = ::fcntl(program, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (socket <= STDOUT_FILENO)
            socket = ::fcntl(socket, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (program < 0 || socket < 0 || ::dup2(socket, STDIN_FILENO) < 0 ||
            ::dup2(socket, STDOUT_FILENO) < 0)
            ::_exit(127);
        // Nothing else of the program's goes to the helper; the file's own
        // descriptor closes with the exec.
        ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
        ::syscall(SYS_execveat, program, "", arguments, environment, AT_EMPTY_PATH);
        ::_exit(127);
    }
    if (pid < 0)
        return -1;
    *ours = std::move(mine);
    return pid;
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
        switch (Started()) {
        case State::Starting:
            return Outcome::NoAnswer; // asked to stop
        case State::Serving:
            return session->Resolve(destIp, mac);
        default:
            return Outcome::NotPermitted;
        }
    }

    bool Serves() { return Started() == State::Serving; }

private:
    enum class State
    {
        Idle,
        Starting,
        Serving,
        Ended
    };

    // Starts the helper unless that was done, and waits for the start; then
    // Serving or Ended, or still Starting when the thread is asked to stop.
    State Started()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (state == State::Idle) {
            state = State::Starting;
            std::thread([this] { Run(); }).detach();
        }
        // Checking and starting one file takes milliseconds.
        const bool stayed = WaitUnlessStopped(changed, lock, Clock::now() + std::chrono::seconds(5),
                                              [&] { return state != State::Starting; });
        if (!stayed)
            return State::Starting;
        return state == State::Starting ? State::Ended : state;
    }

    // Starts the helper from this thread, which lives as long as the helper
    // serves: the helper's parent-death signal follows the thread that
    // started it. Then serves the conversation, and ends the helper with it.
    void Run()
    {
        FileDescriptor ours;
        const pid_t helper = Start(&ours);
        if (helper > 0) {
            session = std::make_unique<HelperSession>(std::move(ours), kHelperReplyDeadline,
                                                      resolver::kClientOutstanding);
            SetState(State::Serving);
            const HelperSession::End end = session->Serve();
            ::kill(helper, SIGKILL); // gone already, silent, or it spoke out of turn
            int status = 0;
            while (::waitpid(helper, &status, 0) < 0 && errno == EINTR) {
            }
            qCDebug(lcHelper).noquote() << EndLine(end);
        }
        SetState(State::Ended);
    }

    pid_t Start(FileDescriptor *ours)
    {
        const std::string place = HelperPlace(ProgramPath());
        if (place.empty()) {
            qCDebug(lcHelper).noquote() << QStringLiteral(
                "Pas de résolveur trelvan-resolver pour un programme ni installé ni dans son "
                "arbre de construction : la table de voisinage du noyau sert");
            return -1;
        }
        std::string why;
        const FileDescriptor file = OpenGenuineHelper(place, &why);
        if (!file.valid()) {
            qCDebug(lcHelper).noquote()
                << QStringLiteral("Résolveur %1 écarté (%2) : la table de "
                                  "voisinage du noyau sert")
                       .arg(QString::fromStdString(place), QString::fromStdString(why));
            return -1;
        }
        const pid_t pid = StartHelper(file, ours);
        if (pid < 0)
            qCDebug(lcHelper).noquote()
                << QStringLiteral("Résolveur %1 impossible à lancer : la table "
                                  "de voisinage du noyau sert")
                       .arg(QString::fromStdString(place));
        return pid;
    }

    void SetState(State next)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            state = next;
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Idle;
    std::unique_ptr<HelperSession> session; // set before Serving, never changed after
};

} // namespace

Outcome HelperResolve(uint32_t destIp, MacAddress *mac)
{
    return HelperClient::Instance().Resolve(destIp, mac);
}

bool HelperServes()
{
    return HelperClient::Instance().Serves();
}

} // namespace platform::linuxarp
