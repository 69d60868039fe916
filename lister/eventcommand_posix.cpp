// --commande on Linux: fork and execve, the child alone in a process group of
// its own with nothing of ours but the standard descriptors.
#include "lister/eventcommand.h"

#include "lister/eventcommandlimits.h"
#include "lister/terminal.h"

#include <QFile>
#include <QMutexLocker>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace lister {

using namespace eventcommand;

namespace {

class Descriptor
{
public:
    explicit Descriptor(int opened = -1) : fd(opened) {}
    ~Descriptor() { Close(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }
    void Close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd;
};

// After fork: closes every descriptor above the standard three but keep,
// with system calls only.
void CloseAllBut(int keep)
{
    const auto range = [](unsigned first, unsigned last) {
        return first > last || ::syscall(SYS_close_range, first, last, 0) == 0;
    };
    if (range(3, unsigned(keep) - 1) && range(unsigned(keep) + 1, ~0U))
        return;
    // A kernel before close_range (5.9): every number the limit allows.
    rlimit limit{};
    rlim_t last = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        last = std::min<rlim_t>(limit.rlim_cur, 1 << 20);
    for (rlim_t fd = 3; fd < last; ++fd)
        if (int(fd) != keep)
            ::close(int(fd));
}

// Whether a process other than the group's first, and not a zombie, is
// still in the group.
bool GroupHasOthers(int group)
{
    DIR *folder = ::opendir("/proc");
    if (!folder)
        return true; // can't tell: kept until its limit
    bool found = false;
    while (const dirent *entry = ::readdir(folder)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == group)
            continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char stat[512];
        const ssize_t got = ::read(fd, stat, sizeof stat - 1);
        ::close(fd);
        if (got <= 0)
            continue;
        stat[got] = '\0';
        // pid (name) state ppid pgrp ...; the name may hold anything.
        const char *after = std::strrchr(stat, ')');
        char state = 0;
        int parent = 0;
        int itsGroup = 0;
        if (after && std::sscanf(after + 1, " %c %d %d", &state, &parent, &itsGroup) == 3 &&
            itsGroup == group && state != 'Z') {
            found = true;
            break;
        }
    }
    ::closedir(folder);
    return found;
}

void Reap(int pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void EventCommand::Linger(int group, Clock::time_point deadline)
{
    lingering.push_back({group, deadline});
    if (lingering.size() > std::size_t(QueueLimit)) {
        ::kill(-lingering.front().group, SIGKILL);
        Reap(lingering.front().group);
        lingering.pop_front();
    }
}

void EventCommand::EndLingering(bool all)
{
    const Clock::time_point now = Clock::now();
    for (auto it = lingering.begin(); it != lingering.end();) {
        if (all || now >= it->deadline)
            ::kill(-it->group, SIGKILL);
        else if (GroupHasOthers(it->group)) {
            ++it;
            continue;
        }
        Reap(it->group);
        it = lingering.erase(it);
    }
}

void EventCommand::RunOne(const Event &event)
{
    const QString what =
        QStringLiteral("%1 (%2 de %3)").arg(Quoted(program), event.kind, event.mac);
    const auto failed = [this, &what](int error) {
        Complain(err, QStringLiteral("la commande %1 n'a pas démarré\u00a0: %2.")
                          .arg(what, QString::fromLocal8Bit(std::strerror(error))));
    };

    // Everything the child needs, made before it exists: after fork only
    // system calls.
    QString path = program;
    if (!path.contains(QLatin1Char('/'))) {
        const QString found = QStandardPaths::findExecutable(program);
        if (!found.isEmpty())
            path = found;
    }
    const QByteArray file = QFile::encodeName(path);
    char *const arguments[] = {const_cast<char *>(file.constData()), nullptr};
    const std::pair<const char *, QString> ours[] = {
        {"TRELVAN_EVENT", event.kind}, {"TRELVAN_MAC", event.mac}, {"TRELVAN_IP", event.ip}};
    std::vector<std::string> variables;
    for (char **entry = environ; entry && *entry; ++entry) {
        bool replaced = false;
        for (const auto &[name, value] : ours) {
            const std::size_t length = std::strlen(name);
            replaced =
                replaced || (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=');
        }
        if (!replaced)
            variables.emplace_back(*entry);
    }
    for (const auto &[name, value] : ours)
        variables.push_back(std::string(name) + '=' + value.toLocal8Bit().toStdString());
    std::vector<char *> environment;
    for (std::string &variable : variables)
        environment.push_back(variable.data());
    environment.push_back(nullptr);

    int input[2];
    int report[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return failed(errno);
    Descriptor inputRead(input[0]);
    Descriptor inputWrite(input[1]);
    if (::pipe2(report, O_CLOEXEC) != 0)
        return failed(errno);
    Descriptor reportRead(report[0]);
    Descriptor reportWrite(report[1]);
    Descriptor nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (nothing.get() < 0)
        return failed(errno);

    const pid_t pid = ::fork();
    if (pid < 0)
        return failed(errno);
    if (pid == 0) {
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &standard, nullptr);
        // None of ours may sit where another is about to go.
        int in = inputRead.get();
        int out = nothing.get();
        int says = reportWrite.get();
        if (in <= 2)
            in = ::fcntl(in, F_DUPFD_CLOEXEC, 3);
        if (out <= 2)
            out = ::fcntl(out, F_DUPFD_CLOEXEC, 3);
        if (says <= 2)
            says = ::fcntl(says, F_DUPFD_CLOEXEC, 3);
        int error = EBADF;
        if (in >= 0 && out >= 0 && says >= 0 && ::dup2(in, STDIN_FILENO) >= 0 &&
            ::dup2(out, STDOUT_FILENO) >= 0) {
            CloseAllBut(says); // which closes with the exec
            ::execve(arguments[0], arguments, environment.data());
            error = errno;
        } else if (errno) {
            error = errno;
        }
        if (says >= 0)
            if (::write(says, &error, sizeof error) < 0) {
                // nothing more to say it with
            }
        ::_exit(127);
    }
    ::setpgid(pid, pid); // the child does it too: whichever comes first
    const Clock::time_point started = Clock::now();
    const Clock::time_point deadline = started + std::chrono::milliseconds(timeoutMs);
    inputRead.Close();
    reportWrite.Close();
    nothing.Close();

    // The exec closes the report; a failure writes why.
    int error = 0;
    pollfd exec{reportRead.get(), POLLIN, 0};
    const bool told = ::poll(&exec, 1, StartTimeoutMs) == 1;
    const bool execFailed = told && ::read(reportRead.get(), &error, sizeof error) == sizeof error;
    if (!told || execFailed) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        Reap(pid);
        return failed(execFailed ? error : ETIMEDOUT);
    }
    reportRead.Close();

    // Its input, without waiting on a program that does not read it; its
    // end seen through a descriptor of the process where the kernel has one.
    ::fcntl(inputWrite.get(), F_SETFL, O_NONBLOCK);
    Descriptor ended(int(::syscall(SYS_pidfd_open, pid, 0)));
    qsizetype written = 0;
    Clock::time_point stopSince{};
    siginfo_t info{};
    for (;;) {
        if (inputWrite.get() >= 0) {
            const ssize_t n = ::write(inputWrite.get(), event.json.constData() + written,
                                      std::size_t(event.json.size() - written));
            if (n > 0)
                written += n;
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == event.json.size())
                inputWrite.Close();
        }
        info = {};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            break;
        const bool stop = Stopping();
        const Clock::time_point now = Clock::now();
        if (stop && stopSince == Clock::time_point{})
            stopSince = now;
        if (now >= deadline ||
            (stop && now - stopSince >= std::chrono::milliseconds(StopGraceMs))) {
            ::kill(-pid, SIGKILL);
            Reap(pid);
            if (!stop)
                Complain(err, QStringLiteral("la commande %1 %2").arg(what, Stopped(timeoutMs)));
            return;
        }
        pollfd waiting[2] = {{ended.get(), POLLIN, 0}, {inputWrite.get(), POLLOUT, 0}};
        ::poll(waiting, 2, PollMs);
    }

    // It ended; what it started may not have. Kept (and the group's number
    // with it) until they end or the limit comes.
    if (GroupHasOthers(pid))
        Linger(pid, deadline);
    else
        Reap(pid);
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED)
        Complain(err, QStringLiteral("la commande %1 s'est arrêtée en cours de route.").arg(what));
    else if (info.si_status != 0)
        Complain(
            err,
            QStringLiteral("la commande %1 a échoué (code %2).").arg(what).arg(info.si_status));
}

} // namespace lister
