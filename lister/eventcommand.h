#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

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
    // Drops the events still waiting; the one running gets StopGraceMs.
    ~EventCommand() override;

    void Post(const Event &event);

protected:
    void run() override;

private:
    void RunOne(const Event &event);

    const QString program;
    std::FILE *const err;
    const int timeoutMs;
    QMutex mutex;
    QWaitCondition posted;
    std::deque<Event> queue;
    bool stopping = false;
};

} // namespace lister
