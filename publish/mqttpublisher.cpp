#include "publish/mqttpublisher.h"
#include "publish/outbox.h"

#include <QJsonDocument>

#include <mosquitto.h>

#ifdef Q_OS_WIN
#include <windows.h>
#include <winsock2.h>
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
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace publish {

namespace {

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

const QByteArray Online = "online";
const QByteArray Offline = "offline";

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

// Nothing of this process is meant for a program it starts but through the
// standard descriptors: libmosquitto opens its socket pair and the broker's
// socket without close-on-exec, so every other descriptor gets it here,
// after each of libmosquitto's calls that may open one. (A program started
// meanwhile closes what it inherited above the standard three itself.)
void KeepFromChildren([[maybe_unused]] int socket)
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

void WriteToStandardError(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

struct MqttPublisher::Private
{
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
    InFlight inFlight{MaxInFlight};
    int onlineMid = -1; // the last "online" handed over

    void Log(const QString &line) const
    {
        options.log ? options.log(line) : WriteToStandardError(line);
    }
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

MqttPublisher::MqttPublisher(Options options) : d(std::make_unique<Private>(std::move(options))) {}

MqttPublisher::~MqttPublisher()
{
    if (!d->worker.joinable()) {
        if (d->mosq)
            mosquitto_destroy(d->mosq);
        return;
    }
    std::unique_lock<std::mutex> lock(d->mutex);
    d->stopping = true;
    d->changed.notify_all();
    if (!d->changed.wait_for(lock, milliseconds(StopTimeoutMs), [this] { return d->finished; })) {
        // Stuck in a connection attempt: the thread keeps what it uses.
        lock.unlock();
        d->worker.detach();
        static_cast<void>(d.release());
        return;
    }
    lock.unlock();
    d->worker.join();
    mosquitto_destroy(d->mosq);
}

bool MqttPublisher::Start(QString *error)
{
    const Options &options = d->options;
    if (AgentName(options.agent) != options.agent || options.agent.isEmpty()) {
        *error = QStringLiteral("nom d'agent MQTT invalide (lettres, chiffres, - et _)");
        return false;
    }
    if (!options.password.isEmpty() && options.broker.user.isEmpty()) {
        *error = QStringLiteral("un mot de passe MQTT sans utilisateur\u00a0: "
                                "mqtt://UTILISATEUR@HÔTE");
        return false;
    }
    if (d->mosq || options.broker.host.isEmpty()) {
        *error = QStringLiteral("publication MQTT déjà commencée ou sans serveur");
        return false;
    }
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    const QByteArray clientId = "trelvan-" + options.agent.toLatin1();
    d->mosq = mosquitto_new(clientId.constData(), true, d.get());
    if (!d->mosq) {
        *error = QStringLiteral("libmosquitto\u00a0: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    KeepFromChildren(-1);
    mosquitto_connect_callback_set(d->mosq, [](mosquitto *, void *self, int code) {
        static_cast<Private *>(self)->OnConnect(code);
    });
    mosquitto_publish_callback_set(d->mosq, [](mosquitto *, void *self, int mid) {
        static_cast<Private *>(self)->OnPublish(mid);
    });
    // libmosquitto's own bound on what is on the wire unacknowledged; ours,
    // the same, also counts what waits in it for the next connection.
    int rc = mosquitto_int_option(d->mosq, MOSQ_OPT_SEND_MAXIMUM, int(MaxInFlight));
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_will_set(d->mosq, d->statusTopic.constData(),
                                static_cast<int>(Offline.size()), Offline.constData(), QoS, true);
    const QByteArray user = options.broker.user.toUtf8();
    const QByteArray password = options.password.toUtf8();
    if (rc == MOSQ_ERR_SUCCESS && !user.isEmpty())
        rc = mosquitto_username_pw_set(d->mosq, user.constData(),
                                       password.isEmpty() ? nullptr : password.constData());
    if (rc == MOSQ_ERR_SUCCESS && options.broker.tls) {
        if (options.caFile.isEmpty()) {
            rc = mosquitto_int_option(d->mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            const QByteArray caFile = options.caFile.toLocal8Bit();
            rc = mosquitto_tls_set(d->mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error =
            QStringLiteral("libmosquitto\u00a0: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }

    d->delayMs = std::max(options.retryMs, 1);
    d->nextAttempt = Clock::now();
    d->worker = std::thread([this] { d->Run(); });
    std::unique_lock<std::mutex> lock(d->mutex);
    d->changed.wait_for(lock, milliseconds(StartTimeoutMs),
                        [this] { return d->starting != Private::Starting::Pending; });
    if (d->starting == Private::Starting::Failed) {
        *error = d->failure;
        return false;
    }
    const bool pending = d->starting == Private::Starting::Pending;
    lock.unlock();
    if (pending)
        d->Log(QStringLiteral("le serveur MQTT %1 ne répond pas encore, la publication attend")
                   .arg(d->where));
    return true;
}

void MqttPublisher::SetDevice(const Device &device)
{
    bool tooMany = false;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        tooMany = d->outbox.SetRetained(DeviceMessages(d->options.agent, device));
    }
    if (tooMany)
        d->Log(QStringLiteral("trop d'appareils pour MQTT, les suivants ne sont pas publiés"));
}

void MqttPublisher::ForgetDevice(const QString &mac)
{
    // Also a device this publisher never sent: an earlier run may have.
    std::lock_guard<std::mutex> lock(d->mutex);
    d->outbox.Forget(ForgetMessages(d->options.agent, mac));
}

void MqttPublisher::PublishEvent(const QJsonObject &event)
{
    bool firstDrop = false;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->failure.isEmpty())
            return;
        firstDrop = d->outbox.AddEvent(QJsonDocument(event).toJson(QJsonDocument::Compact));
    }
    if (firstDrop)
        d->Log(QStringLiteral("file d'attente MQTT pleine\u00a0: les événements les plus anciens "
                              "sont abandonnés"));
}

bool MqttPublisher::Connected() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->connected;
}

std::size_t MqttPublisher::Unacknowledged() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->handedOver - d->acknowledged;
}

QString MqttPublisher::Failure() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->failure;
}

} // namespace publish
