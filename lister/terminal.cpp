#include "lister/terminal.h"

#include <atomic>
#include <csignal>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace lister {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int)
{
    stopRequested = true;
}

} // namespace

bool Write(std::FILE *file, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file);
    return std::fflush(file) == 0 && !std::ferror(file);
}

void Complain(std::FILE *err, const QString &message)
{
    Write(err, QStringLiteral("trelvan-list\u00a0: %1\n").arg(message));
}

QString Quoted(const QString &text)
{
    return QStringLiteral("«\u00a0%1\u00a0»").arg(text);
}

#ifdef Q_OS_WIN
bool IsTerminal(std::FILE *file)
{
    return ::_isatty(::_fileno(file)) != 0;
}

bool OutputClosed(std::FILE *)
{
    return false;
}
#else
bool IsTerminal(std::FILE *file)
{
    return ::isatty(fileno(file)) == 1;
}

// A pipe whose reader has gone reports an error to poll() on our end.
bool OutputClosed(std::FILE *file)
{
    pollfd fd{fileno(file), 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP)) != 0;
}
#endif

void CatchStopSignals()
{
    stopRequested = false;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool StopRequested()
{
    return stopRequested;
}

} // namespace lister
