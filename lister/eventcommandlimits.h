#pragma once

#include <QString>

// What the two ways of running an event's program (eventcommand_posix.cpp,
// eventcommand_win.cpp) share.
namespace lister::eventcommand {

constexpr int StartTimeoutMs = 5000;
constexpr int PollMs = 100;

// How a program that ran past its limit is told on standard error.
inline QString Stopped(int timeoutMs)
{
    return QStringLiteral("a dépassé %1\u00a0s\u00a0: arrêtée.").arg(timeoutMs / 1000);
}

} // namespace lister::eventcommand
