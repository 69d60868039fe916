#include "lister/mqttsink.h"

#include "lister/terminal.h"
#include "presence/historyrows.h"
#include "presence/mergeddevice.h"
#include "publish/brokeraddress.h"
#include "publish/homeassistant.h"
#include "publish/mqttpublisher.h"

#include <QSysInfo>

#include <map>
#include <optional>

namespace lister {

namespace {

class MqttSink : public PresenceSink
{
public:
    explicit MqttSink(publish::MqttPublisher::Options options) : publisher(std::move(options)) {}

    bool Start(QString *error) { return publisher.Start(error); }

    void SetDevices(const std::vector<presence::Device> &devices, const HostPlace &place,
                    const CommentMap &comments, const MakerIndex &makers) override
    {
        // One tracker per device, its newest card's: an older card's goes.
        std::map<QString, publish::Device> now;
        for (const presence::Device &device : presence::OnePerDevice(devices)) {
            HostRow row = MakeHostRow(device.key, device.record, comments, makers, place);
            const QString mac = row.mac;
            now[mac] = {device, std::move(row)};
        }
        // Each card of this network, and those it had before (forgotten).
        std::vector<QString> gone;
        for (const auto &[mac, networks] : cards)
            if (networks.count(place.network) && !now.count(mac))
                gone.push_back(mac);
        for (const QString &mac : gone)
            Update(mac, cards[mac], place.network, std::nullopt);
        for (auto &[mac, device] : now)
            Update(mac, cards[mac], place.network, device);
    }

    void PublishEvent(const QJsonObject &event) override
    {
        publisher.PublishEvent(event);
        // A card that went from the store (aged out, evicted, forgotten by
        // the user) goes from the broker at once, so that Home Assistant
        // drops it; also one this run never published.
        if (event.value(QStringLiteral("event")).toString() != QLatin1String("forgotten"))
            return;
        const QString mac = event.value(QStringLiteral("mac")).toString();
        const auto known = cards.find(mac);
        if (known == cards.end())
            publisher.ForgetDevice(mac);
        else
            Update(mac, known->second, event.value(QStringLiteral("network")).toString(),
                   std::nullopt);
    }
    QString Failure() const override { return publisher.Failure(); }

private:
    void Update(const QString &mac, std::map<QString, publish::Device> &networks,
                const QString &network, const std::optional<publish::Device> &device)
    {
        if (device)
            networks[network] = *device;
        else
            networks.erase(network);
        if (networks.empty()) {
            publisher.ForgetDevice(mac);
            cards.erase(mac); // networks with it
            return;
        }
        std::vector<presence::Device> seen;
        for (const auto &entry : networks)
            seen.push_back(entry.second.seen);
        const presence::Device merged = presence::MergedDevice(seen);
        for (const auto &entry : networks)
            if (entry.second.seen.network == merged.network) {
                publisher.SetDevice({merged, entry.second.row});
                return;
            }
    }

    publish::MqttPublisher publisher;
    // Each card, on each network where the store knows it.
    std::map<QString, std::map<QString, publish::Device>> cards;
};

} // namespace

std::unique_ptr<PresenceSink> StartMqtt(const MqttSettings &settings, std::FILE *err,
                                        ExitStatus *status)
{
    const auto refuse = [err, status](const QString &message, ExitStatus why) {
        Complain(err, message);
        *status = why;
        return nullptr;
    };
    publish::MqttPublisher::Options options;
    QString error;
    const std::optional<publish::BrokerAddress> address =
        publish::ParseBrokerAddress(settings.address, &error);
    if (!address)
        return refuse(error, UsageError);
    options.broker = *address;
    options.agent =
        publish::AgentName(settings.agent.isEmpty() ? QSysInfo::machineHostName() : settings.agent);
    if (options.agent.isEmpty())
        return refuse(settings.agent.isEmpty()
                          ? QStringLiteral("le nom de cette machine ne fait pas un nom d'agent "
                                           "MQTT\u00a0: donnez-en un avec --agent.")
                          : QStringLiteral("nom d'agent MQTT %1 sans lettre ni chiffre.")
                                .arg(Quoted(settings.agent)),
                      UsageError);
    if (!publish::ReadPassword(settings.passwordFile, &options.password, &error))
        return refuse(error, ScanFailed);
    options.log = [err](const QString &line) { Complain(err, line); };
    auto sink = std::make_unique<MqttSink>(std::move(options));
    if (!sink->Start(&error))
        return refuse(error, ScanFailed);
    return sink;
}

} // namespace lister
