#include "network/hostname.h"

#include <QEventLoop>
#include <QTimer>

#include <atomic>

namespace {
std::atomic<ReverseLookupFunction> installed{nullptr};
}

QHostInfo ReverseLookup(const QString &address, int timeoutMs)
{
    const ReverseLookupFunction function = installed.load();
    return function ? function(address, timeoutMs) : SystemReverseLookup(address, timeoutMs);
}

ReverseLookupFunction SetReverseLookupFunction(ReverseLookupFunction function)
{
    return installed.exchange(function);
}

QHostInfo SystemReverseLookup(const QString &address, int timeoutMs)
{
    // The lookup runs in Qt's own worker threads; its answer comes back as
    // an event to the context object, which lives in this thread.
    QEventLoop loop;
    QHostInfo answer;
    bool answered = false;
    QObject context; // goes first, and the connection with it
    const int id = QHostInfo::lookupHost(address, &context, [&](const QHostInfo &info) {
        answer = info;
        answered = true;
        loop.quit();
    });
    if (id < 0)
        return QHostInfo();
    if (!answered) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!answered) {
        // The worker may stay blocked in the resolver; its answer, should it
        // come, goes nowhere.
        QHostInfo::abortHostLookup(id);
        QHostInfo timedOut(id);
        timedOut.setError(QHostInfo::UnknownError);
        timedOut.setErrorString(QStringLiteral("no answer within %1 ms").arg(timeoutMs));
        return timedOut;
    }
    return answer;
}

QString NameOf(const QHostInfo &answer, const QString &address)
{
    if (answer.error() != QHostInfo::NoError || answer.hostName() == address)
        return QString();
    return answer.hostName();
}
