#pragma once

#include "lister/lister.h"
#include "lister/watch.h"

#include <QString>

#include <cstdio>
#include <memory>

// --suivre --mqtt: the watch's presence on an MQTT broker, Home Assistant's
// way (publish/). Built only where libmosquitto is (TRELVAN_MQTT).
namespace lister {

struct MqttSettings
{
    QString address;      // mqtt://[USER@]HOST[:PORT] or mqtts://...
    QString passwordFile; // empty: TRELVAN_MQTT_PASSWORD, or none
    QString agent;        // empty: the machine's host name
};

// Connects to the broker (at most 10 s); nullptr once the refusal is said on
// err, with *status 2 for an address or agent name that cannot be, 1 for a
// password that cannot be read, a refused login, an unknown host. Reads
// the password (and takes TRELVAN_MQTT_PASSWORD out of the environment)
// before anything else starts.
std::unique_ptr<PresenceSink> StartMqtt(const MqttSettings &settings, std::FILE *err,
                                        ExitStatus *status);

} // namespace lister
