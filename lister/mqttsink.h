#pragma once

#include "lister/lister.h"
#include "lister/watch.h"

#include <QString>

#include <cstdio>
#include <memory>
#include <vector>

namespace publish {
struct Device;
}

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

// One card as the agent shows it when it has seen it on several of its
// networks (a router with one card on every VLAN): home when present on
// one, with that network's address, else where it was seen last.
publish::Device MergedDevice(const std::vector<publish::Device> &seen);

} // namespace lister
