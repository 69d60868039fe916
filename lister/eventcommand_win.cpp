// --commande on Windows: CreateProcess with only the standard handles
// inherited, and a job that ends what the program starts.
#include "lister/eventcommand.h"

#include "lister/eventcommandlimits.h"
#include "lister/terminal.h"

#include <QElapsedTimer>
#include <QProcess>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace lister {

using namespace eventcommand;

namespace {

// The child inherits exactly its standard handles: CreateProcess is asked
// to pass on only those (they are inheritable, the rest of ours need not be
// kept from it one by one).
struct HandleList
{
    STARTUPINFOEXW extended{};
    std::vector<HANDLE> handles;
    std::unique_ptr<char[]> buffer;
    bool Set(QProcess::CreateProcessArguments *arguments)
    {
        const STARTUPINFOW *given = arguments->startupInfo;
        for (HANDLE handle : {given->hStdInput, given->hStdOutput, given->hStdError}) {
            DWORD flags = 0;
            if (handle && handle != INVALID_HANDLE_VALUE && GetHandleInformation(handle, &flags) &&
                (flags & HANDLE_FLAG_INHERIT) &&
                std::find(handles.begin(), handles.end(), handle) == handles.end())
                handles.push_back(handle);
        }
        if (handles.empty()) {
            arguments->inheritHandles = false;
            return true;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer = std::make_unique<char[]>(size);
        auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.get());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
            return false;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return false;
        }
        extended.lpAttributeList = list;
        extended.StartupInfo = *given;
        extended.StartupInfo.cb = sizeof extended;
        arguments->startupInfo = &extended.StartupInfo;
        arguments->flags |= EXTENDED_STARTUPINFO_PRESENT;
        return true;
    }
    ~HandleList()
    {
        if (extended.lpAttributeList)
            DeleteProcThreadAttributeList(extended.lpAttributeList);
    }
};

// A job that kills every process in it when its last handle goes.
HANDLE KillingJob(qint64 pid)
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(pid));
    const bool held =
        process &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, process);
    if (process)
        CloseHandle(process);
    if (!held) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

} // namespace

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
    HandleList inherited;
    // Where the system can't take the list, its handles as Qt gives them:
    // the MQTT connection's socket is kept from it all the same.
    process.setCreateProcessArgumentsModifier(
        [&inherited](QProcess::CreateProcessArguments *arguments) { inherited.Set(arguments); });
    const QString what =
        QStringLiteral("%1 (%2 de %3)").arg(Quoted(program), event.kind, event.mac);
    process.start();
    if (!process.waitForStarted(StartTimeoutMs)) {
        Complain(err, QStringLiteral("la commande %1 n'a pas démarré\u00a0: %2.")
                          .arg(what, process.errorString()));
        return;
    }
    // What it starts goes with it at the limit (a child started before it
    // joined the job is not held: the window is the few instructions here).
    HANDLE job = KillingJob(process.processId());
    const auto end = [&process, job] {
        if (job)
            TerminateJobObject(job, 1);
        process.kill();
        process.waitForFinished(StartTimeoutMs);
    };
    process.write(event.json);
    process.closeWriteChannel();
    QElapsedTimer running, sinceStop;
    running.start();
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(PollMs)) {
        const bool stop = Stopping();
        if (stop && !sinceStop.isValid())
            sinceStop.start();
        if (running.elapsed() < timeoutMs && !(stop && sinceStop.elapsed() >= StopGraceMs))
            continue;
        end();
        if (job)
            CloseHandle(job);
        if (!stop)
            Complain(err, QStringLiteral("la commande %1 %2").arg(what, Stopped(timeoutMs)));
        return;
    }
    if (job)
        CloseHandle(job); // and with it whatever the program left running
    if (process.exitStatus() == QProcess::CrashExit)
        Complain(err, QStringLiteral("la commande %1 s'est arrêtée en cours de route.").arg(what));
    else if (process.exitCode() != 0)
        Complain(
            err,
            QStringLiteral("la commande %1 a échoué (code %2).").arg(what).arg(process.exitCode()));
}

} // namespace lister
