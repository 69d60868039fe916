#include "lister/terminal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace lister {

namespace {

std::atomic<bool> stopRequested{false};

bool WriteBytes(std::FILE *file, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file);
    return std::fflush(file) == 0 && !std::ferror(file);
}

#ifdef Q_OS_WIN
// The console behind file, or nullptr for a file or a pipe.
HANDLE ConsoleOf(std::FILE *file)
{
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// Ctrl+C and Ctrl+Break, from the console's own thread.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    stopRequested = true;
    return TRUE;
}
#else
extern "C" void OnStopSignal(int)
{
    stopRequested = true;
}
#endif

} // namespace

#ifdef Q_OS_WIN
bool Write(std::FILE *file, const QString &text)
{
    if (const HANDLE console = ConsoleOf(file)) {
        // UTF-16 to a console: the accents show whatever its code page.
        std::fflush(file);
        auto data = reinterpret_cast<const wchar_t *>(text.utf16());
        auto left = DWORD(text.size());
        while (left > 0) {
            DWORD written = 0;
            if (!::WriteConsoleW(console, data, left, &written, nullptr) || written == 0)
                return false;
            data += written;
            left -= written;
        }
        return true;
    }
    // To a file or a pipe, the same UTF-8 bytes as everywhere, line ends
    // included: the C library's text mode would make "\r\n" of every "\n".
    ::_setmode(::_fileno(file), _O_BINARY);
    return WriteBytes(file, text.toUtf8());
}
#else
bool Write(std::FILE *file, const QString &text)
{
    return WriteBytes(file, text.toUtf8());
}
#endif

void Complain(std::FILE *err, const QString &message)
{
    Write(err, QStringLiteral("trelvan-list\u00a0: %1\n").arg(message));
}

QString Quoted(const QString &text)
{
    return QStringLiteral("«\u00a0%1\u00a0»").arg(text);
}

#ifdef Q_OS_WIN
// A console that takes the escape sequences of bold text and of the progress
// line (Windows 10 and later; NUL, which _isatty() counts, is none).
bool IsTerminal(std::FILE *file)
{
    const HANDLE console = ConsoleOf(file);
    DWORD mode = 0;
    return console && ::GetConsoleMode(console, &mode) &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
            ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
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
#ifdef Q_OS_WIN
    // Windows has no signals for these: Ctrl+C and Ctrl+Break come to a
    // console handler, a closed pipe as a failed write.
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool StopRequested()
{
    return stopRequested;
}

void EndProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef Q_OS_WIN
    // Not std::_Exit, which is ExitProcess here: the lookup threads that
    // Qt's host-name pool keeps waiting would make its teardown write
    // "QWaitCondition: Destroyed while threads are still waiting" once each.
    ::TerminateProcess(::GetCurrentProcess(), UINT(status));
#endif
    std::_Exit(status);
}

} // namespace lister
