#include "lister/scanonce.h"

#include "lister/terminal.h"
#include "scan/checkthread.h"
#include "scan/scancollector.h"
#include "scan/scanrules.h"

#include <QElapsedTimer>

#include <memory>

namespace lister {

namespace {

constexpr int PollMs = 100;
// After SIGINT or SIGTERM a scan under way gets this long to finish.
constexpr int StopGraceMs = 2500;

struct Coordinator
{
    std::unique_ptr<ScanCollector> collector = std::make_unique<ScanCollector>();
    std::unique_ptr<CheckThread> checker;
};

// The coordinators of one batch, started together, until they end.
ScanOutcome ScanTogether(std::vector<Coordinator> &batch, std::FILE *progress)
{
    for (Coordinator &coordinator : batch)
        coordinator.checker->start(QThread::InheritPriority);
    QElapsedTimer sinceStop;
    for (;;) {
        CheckThread *running = nullptr;
        for (Coordinator &coordinator : batch) {
            const QString status = coordinator.collector->TakeStatus();
            if (progress && !status.isEmpty())
                Write(progress, QStringLiteral("\r\x1b[K%1").arg(status));
            if (!running && !coordinator.checker->isFinished())
                running = coordinator.checker.get();
        }
        if (!running)
            return StopRequested() ? ScanOutcome::Stopped : ScanOutcome::Done;
        running->wait(PollMs);
        if (!StopRequested())
            continue;
        if (!sinceStop.isValid()) {
            for (Coordinator &coordinator : batch)
                coordinator.checker->Stop();
            sinceStop.start();
        } else if (sinceStop.elapsed() >= StopGraceMs) {
            // A thread writes into its collector until it ends: neither may
            // go. The process ends without waiting for it.
            for (Coordinator &coordinator : batch)
                if (!coordinator.checker->isFinished()) {
                    coordinator.checker.release();
                    coordinator.collector.release();
                }
            return ScanOutcome::Abandoned;
        }
    }
}

} // namespace

ScanOutcome ScanNetworks(const std::vector<NetworkChoice> &networks, std::FILE *progress,
                         std::vector<HostMap> &hosts)
{
    std::vector<QHostAddress> netmasks;
    for (const NetworkChoice &network : networks)
        netmasks.push_back(network.netmask);
    hosts.assign(networks.size(), HostMap());
    for (const std::vector<std::size_t> &indexes : ScanBatches(netmasks)) {
        std::vector<Coordinator> batch(indexes.size());
        for (std::size_t i = 0; i < indexes.size(); ++i)
            batch[i].checker = std::make_unique<CheckThread>(batch[i].collector.get(),
                                                             networks[indexes[i]].address,
                                                             networks[indexes[i]].netmask);
        const ScanOutcome outcome = ScanTogether(batch, progress);
        if (progress)
            Write(progress, QStringLiteral("\r\x1b[K"));
        if (outcome != ScanOutcome::Done)
            return outcome;
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            if (!batch[i].collector->Published())
                return ScanOutcome::Failed;
            hosts[indexes[i]] = batch[i].collector->Hosts();
        }
    }
    return ScanOutcome::Done;
}

} // namespace lister
