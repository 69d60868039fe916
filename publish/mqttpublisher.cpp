#include "publish/mqttpublisher.h"

#include "publish/mqttsession.h"

#include <QJsonDocument>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace publish {

using namespace session;
using std::chrono::milliseconds;

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
