#include "publish/mqttsession.h"

#include <mosquitto.h>

#ifdef Q_OS_WIN
// winsock2.h before windows.h.
#include <winsock2.h>

#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace publish {

using namespace session;
using std::chrono::milliseconds;

namespace {

// What errno says after a libmosquitto call: on Windows it puts Winsock's
// codes there (and getaddrinfo's, which are Winsock's too), which only the
// system's messages know.
QString SystemError(int code)
{
#ifdef Q_OS_WIN
    return qt_error_string(code);
#else
    return QString::fromLocal8Bit(std::strerror(code));
#endif
}

QString LookupError(int code)
{
#ifdef Q_OS_WIN
    return qt_error_string(code);
#else
    return QString::fromLocal8Bit(gai_strerror(code));
#endif
}

QString Reason(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? SystemError(errno) : QString::fromUtf8(mosquitto_strerror(rc));
}

void WriteToStandardError(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

// libmosquitto opens its socket pair and the broker's socket without
// close-on-exec. (A program started meanwhile closes what it inherited above
// the standard three itself.)
void session::KeepFromChildren([[maybe_unused]] int socket)
{
#ifdef Q_OS_WIN
    if (socket >= 0)
        SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<quintptr>(socket)),
                             HANDLE_FLAG_INHERIT, 0);
#else
    DIR *folder = opendir("/proc/self/fd");
    if (!folder)
        return;
    const int own = dirfd(folder);
    while (const dirent *entry = readdir(folder)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd <= 2 || fd == own || fd > INT_MAX)
            continue;
        const int flags = fcntl(int(fd), F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            fcntl(int(fd), F_SETFD, flags | FD_CLOEXEC);
    }
    closedir(folder);
#endif
}

void MqttPublisher::Private::Log(const QString &line) const
{
    options.log ? options.log(line) : WriteToStandardError(line);
}

void MqttPublisher::Private::Run()
{
#ifndef Q_OS_WIN
    // A write to a socket the broker closed fails with EPIPE in this thread
    // rather than killing the process, whatever the program does with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif

    while (!gaveUp) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!linkUp)
                changed.wait_until(lock, nextAttempt, [this] { return stopping; });
            if (stopping)
                break;
        }
        if (!linkUp) {
            Attempt();
            continue;
        }
        const int rc = mosquitto_loop(mosq, LoopMs, 1);
        if (gaveUp)
            break;
        if (rc != MOSQ_ERR_SUCCESS) {
            LinkLost(rc);
        } else if (awaitingAnswer && Clock::now() > answerDeadline) {
            mosquitto_disconnect(mosq);
            LinkLost(QStringLiteral("pas de réponse"));
        } else if (sessionUp) {
            Drain();
        }
    }
    Shutdown();
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
}

void MqttPublisher::Private::Attempt()
{
    const bool first = !everConnected;
    errno = 0;
    const int rc = mosquitto_connect(mosq, host.constData(), options.broker.port, KeepAliveSecs);
    KeepFromChildren(mosquitto_socket(mosq));
    if (rc == MOSQ_ERR_SUCCESS) {
        linkUp = awaitingAnswer = true;
        answerDeadline = Clock::now() + milliseconds(ConnackTimeoutMs);
        return;
    }
    if (rc == MOSQ_ERR_EAI) {
        const QString why = QStringLiteral("serveur MQTT introuvable\u00a0: %1 (%2)")
                                .arg(QString::fromUtf8(host), LookupError(errno));
        if (first)
            return Fail(why);
        return LinkLost(why);
    }
    LinkLost(rc);
}

void MqttPublisher::Private::OnConnect(int code)
{
    awaitingAnswer = false;
    if (code == BadUserNameOrPassword || code == NotAuthorised) {
        const QString who = options.broker.user.isEmpty()
                                ? QStringLiteral("sans nom d'utilisateur")
                                : QStringLiteral("«\u00a0%1\u00a0»").arg(options.broker.user);
        return Fail(QStringLiteral("le serveur MQTT %1 refuse l'identification %2 (%3)")
                        .arg(where, who, QString::fromUtf8(mosquitto_connack_string(code))));
    }
    if (code != 0) {
        // Refused for now (unavailable): the broker closes, LinkLost says why.
        refusal = QString::fromUtf8(mosquitto_connack_string(code));
        return;
    }
    // What is still in flight libmosquitto sends again, an "online" too.
    if (!inFlight.Holds(onlineMid))
        Publish(statusTopic, Online, true, &onlineMid);
    std::size_t lost = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        connected = true;
        lost = outbox.Reconnected();
        if (starting == Starting::Pending)
            starting = Starting::Done;
        changed.notify_all();
    }
    if (everConnected)
        Log(QStringLiteral("connexion au serveur MQTT %1 rétablie").arg(where));
    if (lost)
        Log(QStringLiteral("%1 événement(s) MQTT abandonné(s) pendant l'absence du serveur")
                .arg(lost));
    everConnected = sessionUp = true;
    delayMs = std::max(options.retryMs, 1);
    lastSaid.clear();
}

void MqttPublisher::Private::LinkLost(const QString &why)
{
    const QString trouble = refusal.isEmpty() ? why : refusal;
    // Said when the connection goes, then once for each new trouble while
    // it stays away; before Start returns.
    if (sessionUp)
        Log(QStringLiteral("connexion au serveur MQTT %1 perdue (%2), nouvel essai dans %3 s")
                .arg(where, trouble)
                .arg(delayMs / 1000.0));
    else if (trouble != lastSaid)
        Log(QStringLiteral("serveur MQTT %1 injoignable (%2), nouvel essai dans %3 s")
                .arg(where, trouble)
                .arg(delayMs / 1000.0));
    lastSaid = trouble;
    linkUp = awaitingAnswer = sessionUp = false;
    refusal.clear();
    nextAttempt = Clock::now() + milliseconds(delayMs);
    delayMs = std::min(delayMs * 2, MaxDelayMs);
    std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    if (starting == Starting::Pending)
        starting = Starting::Done;
    changed.notify_all();
}

// The handshake runs in mosquitto_connect or in the loop that follows it.
void MqttPublisher::Private::LinkLost(int rc)
{
    if (rc == MOSQ_ERR_TLS && !everConnected)
        return Fail(QStringLiteral("connexion TLS à %1 impossible\u00a0: certificat du serveur non "
                                   "reconnu par les autorités de ce système, ou pas de TLS")
                        .arg(where));
    LinkLost(Reason(rc));
}

void MqttPublisher::Private::Fail(const QString &why)
{
    gaveUp = true;
    linkUp = awaitingAnswer = sessionUp = false;
    std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    failure = why;
    starting = Starting::Failed;
    changed.notify_all();
}

void MqttPublisher::Private::Drain()
{
    while (inFlight.Room()) {
        Outgoing message;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!outbox.Next(&message))
                return;
        }
        int mid = 0;
        if (Publish(message.topic, message.payload, message.retain, &mid))
            continue;
        // Not connected after all: kept for the next connection.
        std::lock_guard<std::mutex> lock(mutex);
        outbox.PutBack(std::move(message));
        return;
    }
}

bool MqttPublisher::Private::Publish(const QByteArray &topic, const QByteArray &payload,
                                     bool retain, int *mid)
{
    if (mosquitto_publish(mosq, mid, topic.constData(), static_cast<int>(payload.size()),
                          payload.constData(), QoS, retain) != MOSQ_ERR_SUCCESS)
        return false;
    inFlight.Handed(*mid);
    std::lock_guard<std::mutex> lock(mutex);
    ++handedOver;
    return true;
}

void MqttPublisher::Private::Shutdown()
{
    if (!sessionUp) {
        if (linkUp)
            mosquitto_disconnect(mosq);
        return;
    }
    // What waits, then "offline" (a clean disconnection cancels the will),
    // within the time the destructor gives.
    const Clock::time_point deadline = Clock::now() + milliseconds(StopTimeoutMs - 500);
    auto pending = [this] {
        std::lock_guard<std::mutex> lock(mutex);
        return outbox.Pending();
    };
    bool up = true;
    while (up && (pending() || !inFlight.Empty()) && Clock::now() < deadline) {
        Drain();
        up = mosquitto_loop(mosq, LoopMs, 1) == MOSQ_ERR_SUCCESS;
    }
    int mid = 0;
    if (up && Publish(statusTopic, Offline, true, &mid)) {
        while (up && inFlight.Holds(mid) && Clock::now() < deadline)
            up = mosquitto_loop(mosq, LoopMs, 1) == MOSQ_ERR_SUCCESS;
    }
    mosquitto_disconnect(mosq);
    mosquitto_loop(mosq, 0, 1);
}

} // namespace publish
