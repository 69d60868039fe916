#include "lister/scanonce.h"

#include "lister/terminal.h"
#include "scan/checkthread.h"
#include "scan/scancollector.h"

#include <QElapsedTimer>

#include <memory>

namespace lister {

namespace {

constexpr int PollMs = 100;
// After SIGINT or SIGTERM a scan under way gets this long to finish.
constexpr int StopGraceMs = 2500;

void ShowStatus(std::FILE *progress, ScanCollector &collector)
{
    const QString status = collector.TakeStatus();
    if (progress && !status.isEmpty())
        Write(progress, QStringLiteral("\r\x1b[K%1").arg(status));
}

} // namespace

ScanOutcome ScanOnce(const NetworkChoice &network, std::FILE *progress, HostMap &hosts)
{
    auto collector = std::make_unique<ScanCollector>();
    auto checker = std::make_unique<CheckThread>(collector.get(), network.address, network.netmask);
    checker->start(QThread::InheritPriority);
    QElapsedTimer sinceStop;
    while (!checker->wait(PollMs)) {
        ShowStatus(progress, *collector);
        if (!StopRequested())
            continue;
        if (!sinceStop.isValid()) {
            checker->Stop();
            sinceStop.start();
        } else if (sinceStop.elapsed() >= StopGraceMs) {
            // The thread writes into the collector until it ends: neither
            // may go. The process ends without waiting for it.
            checker.release();
            collector.release();
            return ScanOutcome::Abandoned;
        }
    }
    if (progress)
        Write(progress, QStringLiteral("\r\x1b[K"));
    if (StopRequested())
        return ScanOutcome::Stopped;
    if (!collector->Published())
        return ScanOutcome::Failed;
    hosts = collector->Hosts();
    return ScanOutcome::Done;
}

} // namespace lister
