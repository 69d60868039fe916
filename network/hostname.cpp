#include "network/hostname.h"

#include "network/networklog.h"

#include <QEventLoop>
#include <QTimer>

#include <atomic>

namespace {
std::atomic<ReverseLookup::Function> installed{nullptr};
}

ReverseLookup::ReverseLookup(const QString &asked)
    : address(asked), context(std::make_unique<QObject>())
{
    sinceStart.start();
    if (const Function function = installed.load()) {
        answer = function(address);
        answered = true;
        return;
    }
    id = QHostInfo::lookupHost(address, context.get(), [this](const QHostInfo &info) {
        answer = info;
        answered = true;
        if (waiting)
            waiting->quit();
    });
    if (id < 0)
        answered = true; // no event loop here: no name
}

ReverseLookup::~ReverseLookup()
{
    // The worker may stay blocked in the resolver; its answer, should it
    // come, goes nowhere.
    if (!answered)
        QHostInfo::abortHostLookup(id);
}

QHostInfo ReverseLookup::Wait(int timeoutMs)
{
    if (!answered) {
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(static_cast<int>(std::max<qint64>(0, timeoutMs - sinceStart.elapsed())));
        // The answer comes as an event to context, and ends the loop.
        waiting = &loop;
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        waiting = nullptr;
    }
    if (!answered) {
        QHostInfo timedOut(id);
        timedOut.setError(QHostInfo::UnknownError);
        timedOut.setErrorString(QStringLiteral("no answer within %1 ms").arg(timeoutMs));
        return timedOut;
    }
    return answer;
}

ReverseLookup::Function ReverseLookup::SetFunction(Function function)
{
    return installed.exchange(function);
}

QString NameOf(const QHostInfo &answer, const QString &address)
{
    if (answer.error() != QHostInfo::NoError || answer.hostName() == address)
        return QString();
    return AcceptedName(answer.hostName(), "DNS", address);
}

QString AcceptedName(const QString &name, const char *source, const QString &address)
{
    if (name.isEmpty())
        return name;
    namerule::NameFault fault = namerule::NameFault::InvalidUtf8; // a lone surrogate
    if (QStringView(name).isValidUtf16()) {
        const QByteArray utf8 = name.toUtf8();
        fault = namerule::CheckName(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    }
    if (fault == namerule::NameFault::None)
        return name;
    NoteRefusedName(source, address, fault);
    return QString();
}

void NoteRefusedName(const char *source, const QString &address, namerule::NameFault fault)
{
    qCDebug(lcNames).noquote() << QStringLiteral("%1 : nom %2 écarté (%3)")
                                      .arg(address, QLatin1String(source),
                                           QString::fromUtf8(namerule::NameFaultText(fault)));
}

bool operator==(const HostNames &a, const HostNames &b)
{
    return a.dns == b.dns && a.mdns == b.mdns && a.netbios == b.netbios;
}

bool operator!=(const HostNames &a, const HostNames &b)
{
    return !(a == b);
}

QString ShownName(const HostNames &names)
{
    // The host's own multicast DNS name is the one its owner gave it, in its
    // own case and whole; a DNS server's may be stale or made up by a
    // router; NetBIOS cuts names to 15 characters and upper-cases them.
    QString name = !names.mdns.isEmpty()  ? names.mdns
                   : !names.dns.isEmpty() ? names.dns
                                          : names.netbios;
    static const QLatin1String local(".local");
    if (name.endsWith(local, Qt::CaseInsensitive) && name.size() > local.size())
        name.chop(local.size());
    return name;
}
