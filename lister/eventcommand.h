#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <chrono>
#include <cstdio>
#include <deque>

namespace lister {

// --commande: runs a program for each watch event, one at a time, in a
// thread of its own so that the scans go on meanwhile. The program gets no
// argument and no shell (CreateProcess on Windows, execve on Linux): the
// event's JSON line on its standard input, TRELVAN_EVENT, TRELVAN_MAC and
// TRELVAN_IP in its environment, our standard error for its own; its
// standard output is dropped, so that it cannot mix into the events'. A
// failure is one line on err and stops nothing.
//
// Nothing else of ours goes with it: on Linux it inherits no descriptor but
// those three (whatever else the process holds, close-on-exec or not) and
// runs in a process group of its own; on Windows it inherits no handle but
// those three. What it starts is ended with it: limitMs after its start the
// whole group (on Windows its job) is killed, even when the program itself
// ended before and left a child running, and so is every group still there
// when the watch ends.
class EventCommand : public QThread
{
public:
    struct Event
    {
        QString kind; // "appeared", "left", ...
        QString mac;
        QString ip;
        QByteArray json; // one line
    };

    static constexpr int TimeoutMs = 30000; // then it is killed
    static constexpr int QueueLimit = 64;   // then the oldest waiting event goes
    static constexpr int StopGraceMs = 2500;

    EventCommand(const QString &command, std::FILE *errors, int limitMs = TimeoutMs);
    // Drops the events still waiting; the one running gets StopGraceMs, then
    // it and whatever its predecessors left running are killed.
    ~EventCommand() override;

    void Post(const Event &event);

protected:
    void run() override;

private:
    using Clock = std::chrono::steady_clock;

    void RunOne(const Event &event);
    bool Stopping();
#ifndef Q_OS_WIN
    // A program that ended and left others in its group: its process is kept
    // unreaped until the group is gone or killed, so that the group's number
    // can't pass to another process meanwhile.
    struct Lingering
    {
        int group;
        Clock::time_point deadline;
    };
    void Linger(int group, Clock::time_point deadline);
    void EndLingering(bool all);
    std::deque<Lingering> lingering; // this thread's own
#endif

    const QString program;
    std::FILE *const err;
    const int timeoutMs;
    QMutex mutex;
    QWaitCondition posted;
    std::deque<Event> queue;
    bool stopping = false;
};

} // namespace lister
