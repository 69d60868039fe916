// The program's side of the resolver helper (resolver/): starts the genuine
// helper on a socket pair, and hands it the resolutions of every thread
// without ever waiting on it past a deadline.

#include "platform/linux/resolverclient.h"
#include "platform/linux/helperfile.h"
#include "platform/linux/helpersession.h"
#include "platform/linux/resolverprotocol.h"
#include "platform/platformlog.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace platform::linuxarp {

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
        case State::Serving: {
            bool heldBack = false;
            const Outcome outcome = session->Resolve(destIp, mac, &heldBack);
            if (heldBack)
                NoteHeldBack();
            return outcome;
        }
        default:
            return Outcome::NotPermitted;
        }
    }

    bool Serves() { return Started() == State::Serving; }

    bool EchoAllNodes(uint32_t interfaceAddress)
    {
        return Started() == State::Serving && session->EchoAllNodes(interfaceAddress);
    }

    bool OtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                   MacAddress *other)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (state != State::Serving)
                return false;
        }
        // Set before Serving and never changed after.
        return session->OtherCard(destIp, mac, since, other);
    }

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

    // One line for the resolutions of a scan that the helper could not send:
    // they come together, at the end of its patience.
    void NoteHeldBack()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            const Clock::time_point now = Clock::now();
            if (heldBackNoted != Clock::time_point() &&
                now - heldBackNoted < ArpEngine::kSendPatience)
                return;
            heldBackNoted = now;
        }
        qCDebug(lcHelper).noquote()
            << QStringLiteral("Le résolveur trelvan-resolver n'a pu envoyer aucune requête "
                              "pendant %1 s, un autre processus tenant l'interface : ce parcours "
                              "passe par la table de voisinage du noyau")
                   .arg(std::chrono::seconds(ArpEngine::kSendPatience).count());
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
    Clock::time_point heldBackNoted;        // the last held-back line, under mutex
};

} // namespace

Outcome HelperResolve(uint32_t destIp, MacAddress *mac)
{
    return HelperClient::Instance().Resolve(destIp, mac);
}

bool HelperEchoAllNodes(uint32_t interfaceAddress)
{
    return HelperClient::Instance().EchoAllNodes(interfaceAddress);
}

bool HelperServes()
{
    return HelperClient::Instance().Serves();
}

bool HelperOtherCard(uint32_t destIp, const MacAddress &mac, Clock::time_point since,
                     MacAddress *other)
{
    return HelperClient::Instance().OtherCard(destIp, mac, since, other);
}

} // namespace platform::linuxarp
