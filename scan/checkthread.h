#pragma once

#include <QHostAddress>
#include <QThread>

#include <atomic>

class ScanReceiver;

// Scans one subnet: one ArpThread per address, from the network address up
// to the address before the broadcast address, then hands its receiver (the
// window, or the lister) a status line and a copy of the answers.
class CheckThread : public QThread
{
    Q_OBJECT

public:
    CheckThread(ScanReceiver *receiver, const QHostAddress &interfaceAddress,
                const QHostAddress &mask);
    ~CheckThread() override;

    // Stops starting new probes; a probe still waiting for its ARP answer
    // gives up at once, the others finish, and the scan still publishes what
    // it found. Safe from any thread.
    void Stop();

    // The most probe threads alive at once. A /24 runs all its probes
    // together; a larger subnet starts the next probe as one finishes.
    static constexpr int MaxProbeThreads = 1024;
    // The most probe threads alive at once in the whole process, when
    // several coordinators scan several networks together; a coordinator
    // waits for a free one as it waits for one of its own.
    static constexpr int MaxProbeThreadsInAll = 2048;

    ScanReceiver *window; // receives the status lines and the answers
    QHostAddress address;
    QHostAddress netmask;

protected:
    void run() override;

private:
    std::atomic<bool> stopRequested{false};
};
