#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Collects the debug output of every thread while it lives. QtTest installs
// its own handler when the tests start, so make one in initTestCase.
class MessageLog
{
public:
    MessageLog() { previous() = qInstallMessageHandler(&MessageLog::handle); }
    ~MessageLog() { qInstallMessageHandler(previous()); }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    static QStringList lines()
    {
        QMutexLocker locker(&mutex());
        return store();
    }
    static void clear()
    {
        QMutexLocker locker(&mutex());
        store().clear();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg) {
            QMutexLocker locker(&mutex());
            store().append(message);
        } else if (previous()) {
            previous()(type, context, message);
        }
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList &store()
    {
        static QStringList s;
        return s;
    }
};
