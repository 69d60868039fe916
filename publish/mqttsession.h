#pragma once

// The publisher's session with the broker (mqttpublisher.h): its state, and
// the thread that alone calls libmosquitto (mqttsession.cpp); the caller's
// side is mqttpublisher.cpp.

#include "publish/mqttpublisher.h"
#include "publish/outbox.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

struct mosquitto;

namespace publish {

namespace session {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int KeepAliveSecs = 30;
constexpr int LoopMs = 100; // the longest a handed-over message waits
constexpr int ConnackTimeoutMs = 10000;
constexpr int MaxDelayMs = 60000;
constexpr std::size_t MaxInFlight = MqttPublisher::MaxInFlight;
constexpr int QoS = 1;

// MQTT 3.1.1's CONNACK codes for a login the broker refuses.
constexpr int BadUserNameOrPassword = 4;
constexpr int NotAuthorised = 5;

inline const QByteArray Online = "online";
inline const QByteArray Offline = "offline";

// Nothing of this process is meant for a program it starts but through the
// standard descriptors: every descriptor above them gets close-on-exec (on
// Windows, the broker's `socket`, when not -1, is made not inheritable).
// Called after each of libmosquitto's calls that may open one.
void KeepFromChildren(int socket);

} // namespace session

struct MqttPublisher::Private
{
    using Clock = session::Clock;

    enum class Starting
    {
        Pending,
        Done,
        Failed
    };

    explicit Private(Options given)
        : options(std::move(given)), host(options.broker.host.toUtf8()),
          statusTopic(StatusTopic(options.agent)), where(options.broker.Text()),
          outbox(EventTopic(options.agent), options.maxQueuedEvents)
    {
    }

    const Options options;
    const QByteArray host;
    const QByteArray statusTopic;
    const QString where; // the broker's address, for messages
    mosquitto *mosq = nullptr;
    std::thread worker;

    mutable std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    bool stopping = false;
    bool finished = false;
    bool connected = false;
    Starting starting = Starting::Pending;
    QString failure;
    Outbox outbox;
    // Every message handed to libmosquitto, and every one acknowledged, since
    // the start: what libmosquitto holds is the difference.
    std::size_t handedOver = 0;
    std::size_t acknowledged = 0;

    // The publisher's thread's own.
    bool linkUp = false;         // a socket, connected or waiting for the broker's answer
    bool awaitingAnswer = false; // for the answer to the connection
    bool sessionUp = false;      // the broker accepted us on this socket
    bool everConnected = false;
    bool gaveUp = false;
    Clock::time_point answerDeadline;
    Clock::time_point nextAttempt;
    int delayMs = 1000;
    QString refusal;  // the broker's reason for refusing the last connection
    QString lastSaid; // the last trouble the log was told
    InFlight inFlight{session::MaxInFlight};
    int onlineMid = -1; // the last "online" handed over

    // One line to Options::log, or to standard error.
    void Log(const QString &line) const;
    void Run();
    void Attempt();
    void LinkLost(const QString &why);
    void LinkLost(int rc);
    void Fail(const QString &why);
    void Drain();
    void Shutdown();
    void OnConnect(int code);
    bool Publish(const QByteArray &topic, const QByteArray &payload, bool retain, int *mid);
    void OnPublish(int mid)
    {
        if (!inFlight.Acknowledged(mid))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        ++acknowledged;
    }
};

} // namespace publish
