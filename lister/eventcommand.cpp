#include "lister/eventcommand.h"

#include "lister/terminal.h"

#include <QMutexLocker>

#include <csignal>

namespace lister {

EventCommand::EventCommand(const QString &command, std::FILE *errors, int limitMs)
    : program(command), err(errors), timeoutMs(limitMs)
{
    start();
}

EventCommand::~EventCommand()
{
    {
        QMutexLocker locker(&mutex);
        stopping = true;
        queue.clear();
    }
    posted.wakeAll();
    wait();
}

void EventCommand::Post(const Event &event)
{
    QMutexLocker locker(&mutex);
    if (queue.size() >= std::size_t(QueueLimit)) {
        const Event dropped = queue.front();
        queue.pop_front();
        Complain(err, QStringLiteral("trop d'événements en attente de %1\u00a0: %2 de %3 n'y passe "
                                     "pas.")
                          .arg(Quoted(program), dropped.kind, dropped.mac));
    }
    queue.push_back(event);
    posted.wakeOne();
}

bool EventCommand::Stopping()
{
    QMutexLocker locker(&mutex);
    return stopping;
}

void EventCommand::run()
{
#ifndef Q_OS_WIN
    // A program that does not read its input: the write fails with EPIPE
    // rather than signalling the process, whatever it does with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    for (;;) {
        Event event;
        {
            QMutexLocker locker(&mutex);
#ifdef Q_OS_WIN
            while (queue.empty() && !stopping)
                posted.wait(&mutex);
#else
            while (queue.empty() && !stopping) {
                if (lingering.empty()) {
                    posted.wait(&mutex);
                    continue;
                }
                posted.wait(&mutex, 1000);
                locker.unlock();
                EndLingering(false);
                locker.relock();
            }
#endif
            if (queue.empty())
                break;
            event = queue.front();
            queue.pop_front();
        }
        RunOne(event);
    }
#ifndef Q_OS_WIN
    EndLingering(true);
#endif
}

} // namespace lister
