#include "scan/scansession.h"

#include "network/gateways.h"
#include "scan/checkthread.h"
#include "scan/scancollector.h"
#include "scan/scanrules.h"

#include <QMetaObject>
#include <QMutexLocker>

#include <algorithm>
#include <chrono>

namespace {

// Keeps the answers like ScanCollector, and sends each status line to the
// session through its event loop, until the session lets its coordinator go.
class Relay : public ScanCollector
{
public:
    explicit Relay(ScanSession *to) : session(to) {}
    void SetPendingStatus(const QString &text) override
    {
        QMutexLocker locker(&sessionMutex);
        if (session)
            QMetaObject::invokeMethod(
                session, [s = session, text] { emit s->StatusLine(text); }, Qt::QueuedConnection);
    }
    void Detach()
    {
        QMutexLocker locker(&sessionMutex);
        session = nullptr;
    }

private:
    QMutex sessionMutex;
    ScanSession *session;
};

} // namespace

struct ScanSession::Coordinator
{
    Ipv4Network network;
    std::unique_ptr<Relay> relay;
    std::unique_ptr<CheckThread> checker;
};

ScanSession::ScanSession(QObject *parent) : QObject(parent)
{
    graceTimer.setSingleShot(true);
    graceTimer.setInterval(StopGraceMs);
    // Never early: a round is not due before its period has passed.
    periodTimer.setTimerType(Qt::PreciseTimer);
    connect(&graceTimer, &QTimer::timeout, this, &ScanSession::OnGraceOver);
    periodTimer.setSingleShot(true);
    connect(&periodTimer, &QTimer::timeout, this, [this] {
        if (!stopping && !running)
            emit RoundDue();
    });
}

ScanSession::~ScanSession()
{
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        if (coordinator->checker)
            coordinator->checker->wait();
}

void ScanSession::SetPeriod(int period)
{
    periodMs = period;
}

void ScanSession::SetStopGrace(int graceMs)
{
    graceTimer.setInterval(graceMs);
}

bool ScanSession::Running() const
{
    return running;
}

void ScanSession::Start(const std::vector<Ipv4Network> &round)
{
    if (running || stopping)
        return;
    running = true;
    networks = round;
    std::vector<QHostAddress> netmasks;
    for (const Ipv4Network &network : networks)
        netmasks.push_back(network.netmask);
    batches = ScanBatches(netmasks);
    nextBatch = 0;
    roundDue = QDeadlineTimer(periodMs, Qt::PreciseTimer);
    StartBatch();
}

void ScanSession::StartBatch()
{
    batch.clear();
    if (stopping) { // by one who took the last batch's networks
        EndRound(Outcome::Stopped);
        return;
    }
    if (nextBatch == batches.size()) {
        EndRound(Outcome::Done);
        return;
    }
    for (const std::size_t index : batches[nextBatch]) {
        auto coordinator = std::make_unique<Coordinator>();
        coordinator->network = networks[index];
        Ipv4Network &network = coordinator->network;
        network.gateway = GatewayOf(network.ip.toIPv4Address(), network.netmask.toIPv4Address(),
                                    network.interfaceName);
        coordinator->relay = std::make_unique<Relay>(this);
        coordinator->checker =
            std::make_unique<CheckThread>(coordinator->relay.get(), network.ip, network.netmask);
        connect(
            coordinator->checker.get(), &QThread::finished, this,
            [this, checker = coordinator->checker.get()] { OnCoordinatorFinished(checker); },
            Qt::QueuedConnection);
        batch.push_back(std::move(coordinator));
    }
    ++nextBatch;
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        coordinator->checker->start(QThread::InheritPriority);
}

void ScanSession::OnCoordinatorFinished(const CheckThread *finished)
{
    // The batch ends with the last of its coordinators; a coordinator of a
    // batch already over has nothing more to say.
    const auto ofBatch = [finished](const std::unique_ptr<Coordinator> &coordinator) {
        return coordinator->checker.get() == finished;
    };
    const auto unfinished = [](const std::unique_ptr<Coordinator> &coordinator) {
        return !coordinator->checker->isFinished();
    };
    if (!running || std::none_of(batch.begin(), batch.end(), ofBatch) ||
        std::any_of(batch.begin(), batch.end(), unfinished))
        return;
    graceTimer.stop();
    emit BatchFinished();
    if (stopping) {
        EndRound(Outcome::Stopped);
        return;
    }
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        if (!coordinator->relay->Published()) {
            EndRound(Outcome::Failed);
            return;
        }
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        emit NetworkScanned(coordinator->network, coordinator->relay->Hosts());
    StartBatch();
}

void ScanSession::Stop()
{
    if (stopping)
        return;
    stopping = true;
    periodTimer.stop();
    if (!running)
        return;
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        coordinator->checker->Stop();
    graceTimer.start();
}

void ScanSession::OnGraceOver()
{
    if (!running)
        return;
    // A coordinator writes into its relay until it ends: neither may go. The
    // process ends without waiting for it.
    for (const std::unique_ptr<Coordinator> &coordinator : batch)
        if (!coordinator->checker->isFinished()) {
            disconnect(coordinator->checker.get(), nullptr, this, nullptr);
            coordinator->relay->Detach();
            coordinator->checker.release();
            coordinator->relay.release();
        }
    emit BatchFinished();
    EndRound(Outcome::Abandoned);
}

void ScanSession::EndRound(Outcome outcome)
{
    running = false;
    if (outcome != Outcome::Abandoned)
        batch.clear();
    if (outcome == Outcome::Done && !stopping && periodMs > 0)
        periodTimer.start(std::chrono::duration_cast<std::chrono::milliseconds>(
            roundDue.remainingTimeAsDuration()));
    emit RoundFinished(outcome);
}
