#include "scan/checkthread.h"

#include "platform/ipv6neighbours.h"
#include "platform/sendarp.h"
#include "scan/arpthread.h"
#include "scan/ipv6join.h"
#include "scan/scanlog.h"
#include "scan/scanreceiver.h"

#include <QDebug>
#include <QMutex>
#include <QTime>

#include <chrono>
#include <memory>
#include <vector>

namespace {

constexpr unsigned long PollIntervalMs = 100;
// Poll interval while the walk waits for a free probe slot.
constexpr unsigned long SlotPollIntervalMs = 5;
// How long after the echo to ff02::1 the IPv6 neighbour table is read at
// the earliest: the hosts' neighbour messages come within it. A scan takes
// longer anyway; only a stopped or tiny one waits.
constexpr std::chrono::milliseconds Ipv6AnswerWait{300};
// A probe needs little stack: an ARP request and a socket connection.
constexpr uint ProbeStackSize = 256 * 1024;

// The probe threads of every coordinator, not yet reaped.
std::atomic<int> probesInAll{0};

struct Probe
{
    std::unique_ptr<ArpThread> thread;
    bool started = false; // false when the system refused the thread
};

// A probe counts as running until its thread has finished; one whose thread
// could not be created never runs and counts as finished, so the wait ends.
bool IsRunning(const Probe &probe)
{
    return probe.started && (probe.thread->lookupPending || !probe.thread->isFinished());
}

int CountRunning(const std::vector<Probe> &probes)
{
    int running = 0;
    for (const Probe &probe : probes)
        running += IsRunning(probe) ? 1 : 0;
    return running;
}

// Drops the probes that have finished, keeping the others in order.
void ReapFinished(std::vector<Probe> &probes)
{
    std::vector<Probe> alive;
    alive.reserve(probes.size());
    for (Probe &probe : probes) {
        if (IsRunning(probe))
            alive.push_back(std::move(probe));
    }
    probesInAll -= static_cast<int>(probes.size() - alive.size());
    probes.swap(alive);
}

QString TimeText()
{
    return QTime::currentTime().toString(Qt::TextDate);
}

QString MacText(const std::vector<unsigned char> &mac)
{
    return QByteArray(reinterpret_cast<const char *>(mac.data()), qsizetype(mac.size()))
        .toHex(':')
        .toUpper();
}

// A second card that answered for an address during the scan, where the
// resolution saw it, goes beside the first: two cards claiming one address.
void NoteOtherCards(HostMap &answers, std::chrono::steady_clock::time_point since)
{
    for (auto &[key, record] : answers) {
        unsigned char other[6];
        if (record.mac.size() != sizeof other ||
            !platform::OtherCard(key, record.mac.data(), since, other))
            continue;
        record.conflictMac.assign(other, other + sizeof other);
        qCDebug(lcScan).noquote() << QStringLiteral("%1 : deux cartes ont répondu, %2 et %3")
                                         .arg(AddressText(key), MacText(record.mac),
                                              MacText(record.conflictMac));
    }
}

// The IPv6 addresses of the hosts that answered, from the neighbour table
// of the scanned interface, read once the echo's answers had their time.
// Where no echo could go (no right to send one, or a system without the
// call), the table still holds the hosts the stack heard from on its own.
void LearnIpv6(HostMap &answers, quint32 interfaceAddress, bool echoed,
               std::chrono::steady_clock::time_point echoedAt, const std::atomic<bool> &stop)
{
#ifdef TRELVAN_NO_IPV6
    return;
#endif
    if (answers.empty())
        return;
    while (echoed && !stop && std::chrono::steady_clock::now() < echoedAt + Ipv6AnswerWait)
        QThread::msleep(SlotPollIntervalMs);
    if (stop)
        return;
    std::vector<platform::Ipv6Neighbour> rows;
    platform::ReadIpv6Neighbours(interfaceAddress, &rows);
    JoinIpv6(answers, rows);
}

} // namespace

CheckThread::CheckThread(ScanReceiver *receiver, const QHostAddress &interfaceAddress,
                         const QHostAddress &mask)
    : window(receiver), address(interfaceAddress), netmask(mask)
{
    qCDebug(lcScan) << "CheckThread::CheckThread()";
}

CheckThread::~CheckThread()
{
    qCDebug(lcScan) << "CheckThread::~CheckThread()";
}

void CheckThread::Stop()
{
    stopRequested = true;
}

void CheckThread::run()
{
    window->SetPendingStatus(
        tr("Début de recherche %0 à %1...").arg(address.toString(), TimeText()));

    HostMap answers;
    QRecursiveMutex answersMutex;
    std::vector<Probe> probes;
    const auto started = std::chrono::steady_clock::now();

    const quint32 mask = netmask.toIPv4Address();
    const quint32 network = address.toIPv4Address() & mask;
    const quint32 hostBits = ~mask;
    // One echo to every IPv6 node of the scanned interface, and nowhere
    // else; its replies are not read, the neighbour table is.
    const quint32 interfaceKey = HostKey(address.toIPv4Address());
#ifdef TRELVAN_NO_IPV6
    const bool echoed = false;
#else
    const bool echoed = platform::EchoAllNodes(interfaceKey);
#endif
    const auto echoedAt = std::chrono::steady_clock::now();

    // Every address from the network address up to, not including, the
    // broadcast address. A /32 gives no probe and a /31 only its first.
    for (quint32 current = network; (current & mask) == network; ++current) {
        if ((current & hostBits) == hostBits || stopRequested)
            break;
        const auto full = [&probes] {
            return static_cast<int>(probes.size()) >= MaxProbeThreads ||
                   probesInAll >= MaxProbeThreadsInAll;
        };
        while (full()) {
            ReapFinished(probes);
            if (!full() || stopRequested)
                break;
            QThread::msleep(SlotPollIntervalMs);
        }
        if (stopRequested)
            break;
        Probe probe;
        probe.thread = std::make_unique<ArpThread>(&answers, HostKey(current), &answersMutex);
        probe.thread->stopFlag = &stopRequested;
        probe.thread->interfaceAddress = address.toIPv4Address();
        probe.thread->netmask = mask;
        probe.thread->setStackSize(ProbeStackSize);
        probe.thread->start(QThread::InheritPriority);
        probe.started = probe.thread->isRunning() || probe.thread->isFinished();
        if (!probe.started)
            qCDebug(lcScan) << "no thread for the probe of" << AddressText(HostKey(current));
        probes.push_back(std::move(probe));
        ++probesInAll;
    }

    qCDebug(lcScan) << "Attend l'arrêt de tous les threads";
    do {
        QThread::msleep(PollIntervalMs);
    } while (CountRunning(probes) > 0);

    qCDebug(lcScan) << "Détruit les threads morts";
    probesInAll -= static_cast<int>(probes.size());
    probes.clear();
    NoteOtherCards(answers, started);
    LearnIpv6(answers, interfaceKey, echoed, echoedAt, stopRequested);

    window->SetPendingStatus(tr("Fin de recherche %0 à %1.").arg(address.toString(), TimeText()));
    window->PublishHosts(answers);
}
