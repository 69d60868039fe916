#pragma once

#include "publish/brokeraddress.h"
#include "publish/homeassistant.h"

#include <QJsonObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>

namespace publish {

// Hands devices and events to an MQTT broker, Home Assistant's way (see
// homeassistant.h), and keeps them there while the broker comes and goes.
//
// Threads. The publisher owns one thread of its own, the only one that
// calls libmosquitto: it connects, reads, writes, reconnects and runs
// libmosquitto's callbacks (libmosquitto's threaded loop is not used). The
// caller's calls (SetDevice, ForgetDevice, PublishEvent, Connected,
// Failure) only take a mutex that the publisher's thread holds for a few
// assignments, never across a network call, so they never wait for the
// broker; Start waits at most StartTimeoutMs, and the destructor at most
// StopTimeoutMs. Options::log is called from the publisher's thread, and
// from the caller's when PublishEvent drops an event.
//
// What the broker gets. The retained messages of every device handed over
// (discovery, state, attributes), each sent again only when its payload
// changes, and all of them again after each reconnection: a broker that
// restarted without its store gets every device back. The agent's status
// "online" on each connection, "offline" from the destructor and, through
// the last will, when the process dies. Events in the order given, at
// least once (QoS 1); while the broker is away at most maxQueuedEvents wait,
// the oldest dropped first and said once per absence.
//
// Bounds. At most MaxInFlight messages are handed to libmosquitto and not
// yet acknowledged, across reconnections too: libmosquitto keeps what the
// broker has not acknowledged and sends it again on the next connection, so
// those still count, and a broker that takes messages without ever
// acknowledging them holds the publisher at that many, whatever the number
// of reconnections. Retained messages are kept one per topic, events at
// most maxQueuedEvents.
//
// Descriptors. The broker's socket and libmosquitto's own are close-on-exec
// (on Windows, not inheritable): a program the front end starts never holds
// the connection.
//
// Failures. A refused login, an unknown host or a certificate that does not
// verify at the first attempt end the publishing: Start returns false, or,
// when it happens later (a login refused after a reconnection), Failure()
// says why; a front end ends then (exit status 1). Any other trouble
// (refused connection, lost connection, silence) is one line to the log
// and another attempt after 1 s, then 2, 4, ... up to 60 s.
class MqttPublisher
{
public:
    static constexpr int StartTimeoutMs = 10000;
    static constexpr int StopTimeoutMs = 3000;
    static constexpr std::size_t MaxInFlight = 100;

    struct Options
    {
        BrokerAddress broker;
        QString password; // empty: none
        QString agent;    // as AgentName makes it
        std::size_t maxQueuedEvents = 1000;
        QString caFile;     // a CA of one's own (tests); empty: the system's
        int retryMs = 1000; // the first wait before another attempt, then doubled
        // One line for the user, without a final newline; by default written
        // to standard error.
        std::function<void(const QString &)> log;
    };

    explicit MqttPublisher(Options options);
    // Sends what waits and "offline", then disconnects. A thread still stuck
    // in a connection attempt after StopTimeoutMs is left to the process's end.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher &) = delete;
    MqttPublisher &operator=(const MqttPublisher &) = delete;

    // Connects; waits for the broker's answer, at most StartTimeoutMs. True
    // once connected, and also when the broker can't be reached for now
    // (said in the log; the publisher keeps trying). False with *error for
    // the failures above and for options that can't work. Call once.
    bool Start(QString *error);

    // The device's current state; nothing is sent when nothing changed.
    void SetDevice(const Device &device);
    // Removes the device from the broker (empty retained messages), also one
    // this publisher never sent (an earlier run may have).
    void ForgetDevice(const QString &mac);
    void PublishEvent(const QJsonObject &event);

    bool Connected() const;
    // Messages handed to libmosquitto that the broker has not acknowledged.
    std::size_t Unacknowledged() const;
    // Why publishing ended; empty while it goes on.
    QString Failure() const;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace publish
