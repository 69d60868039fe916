#pragma once

#include "network/ipv4network.h"
#include "scan/hostrecord.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <cstddef>
#include <memory>
#include <vector>

class CheckThread;

// What a session hands over of one network.
struct ScannedNetwork
{
    Ipv4Network network; // as it was when its scan began, gateway included
    HostMap hosts;
};

// A run of scans over one or several networks, for a front end that only
// shows what it hands over: each network by its own coordinator (CheckThread),
// those the scan's rules let run together (ScanBatches) at the same time, then
// the next ones. The coordinators keep to their probe-thread bounds
// (CheckThread::MaxProbeThreads, MaxProbeThreadsInAll) among themselves.
// Every signal comes through the event loop of the session's thread (queued
// from the coordinators' threads): the status lines as they come, each
// network's answers as its batch ends, and how the round ended. A stop lets
// the coordinators start no more probes and gives those running
// StopGraceMs to end.
class ScanSession : public QObject
{
    Q_OBJECT

public:
    enum class Outcome
    {
        Done,
        Failed,    // a coordinator ended without handing its answers over
        Stopped,   // stopped, and the scans finished in time
        Abandoned, // stopped, and a scan is still running: it is left to run
    };
    Q_ENUM(Outcome)

    // After Stop a scan under way gets this long to finish, unless
    // SetStopGrace says otherwise (tests shorten it).
    static constexpr int StopGraceMs = 2500;

    explicit ScanSession(QObject *parent = nullptr);
    // Waits for the coordinators still running (none after Abandoned).
    ~ScanSession() override;

    // One scan of each network, in batches; the gateway of each is read as
    // its scan begins (GatewayOf), the network handed back with it. Ignored
    // while a round runs. A round of no network ends at once, Done.
    void Start(const std::vector<Ipv4Network> &networks);
    bool Running() const;
    // From now on no round starts, and the one under way stops.
    void Stop();
    bool StopRequested() const { return stopping; }

    // The rescan period: a round is due this long after the last one began,
    // on the monotonic clock. RoundDue is signalled then (if no stop came).
    void SetPeriod(int periodMs);
    void SetStopGrace(int graceMs);

signals:
    // A status line of a coordinator: the start and the end of a scan.
    void StatusLine(const QString &text);
    // The answers of one network, as it was when its scan began (gateway
    // included), in the order of the round's networks.
    void NetworkScanned(const Ipv4Network &network, const HostMap &hosts);
    // The coordinators of a batch have all ended.
    void BatchFinished();
    void RoundFinished(ScanSession::Outcome outcome);
    // The period has passed since the last round began.
    void RoundDue();

private:
    struct Coordinator;

    void StartBatch();
    void OnCoordinatorFinished(const CheckThread *finished);
    void OnGraceOver();
    void EndRound(Outcome outcome);

    std::vector<Ipv4Network> networks;
    std::vector<std::vector<std::size_t>> batches;
    std::size_t nextBatch = 0;
    std::vector<std::unique_ptr<Coordinator>> batch;
    bool running = false;
    bool stopping = false;
    int periodMs = 0;
    QDeadlineTimer roundDue;
    QTimer periodTimer;
    QTimer graceTimer;
};
