#include "lister/eventcommand.h"

#include "lister/terminal.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QProcess>

namespace lister {

namespace {
constexpr int StartTimeoutMs = 5000;
constexpr int PollMs = 100;
} // namespace

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

void EventCommand::run()
{
    for (;;) {
        Event event;
        {
            QMutexLocker locker(&mutex);
            while (queue.empty() && !stopping)
                posted.wait(&mutex);
            if (queue.empty())
                return;
            event = queue.front();
            queue.pop_front();
        }
        RunOne(event);
    }
}

void EventCommand::RunOne(const Event &event)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments({});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TRELVAN_EVENT"), event.kind);
    environment.insert(QStringLiteral("TRELVAN_MAC"), event.mac);
    environment.insert(QStringLiteral("TRELVAN_IP"), event.ip);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    const QString what =
        QStringLiteral("%1 (%2 de %3)").arg(Quoted(program), event.kind, event.mac);
    process.start();
    if (!process.waitForStarted(StartTimeoutMs)) {
        Complain(err, QStringLiteral("la commande %1 n'a pas démarré\u00a0: %2.")
                          .arg(what, process.errorString()));
        return;
    }
    process.write(event.json);
    process.closeWriteChannel();
    QElapsedTimer running, sinceStop;
    running.start();
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(PollMs)) {
        bool stop = false;
        {
            QMutexLocker locker(&mutex);
            stop = stopping;
        }
        if (stop && !sinceStop.isValid())
            sinceStop.start();
        if (running.elapsed() < timeoutMs && !(stop && sinceStop.elapsed() >= StopGraceMs))
            continue;
        process.kill();
        process.waitForFinished(StartTimeoutMs);
        if (!stop)
            Complain(err, QStringLiteral("la commande %1 a dépassé %2\u00a0s\u00a0: arrêtée.")
                              .arg(what)
                              .arg(timeoutMs / 1000));
        return;
    }
    if (process.exitStatus() == QProcess::CrashExit)
        Complain(err, QStringLiteral("la commande %1 s'est arrêtée en cours de route.").arg(what));
    else if (process.exitCode() != 0)
        Complain(
            err,
            QStringLiteral("la commande %1 a échoué (code %2).").arg(what).arg(process.exitCode()));
}

} // namespace lister
