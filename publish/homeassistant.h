#pragma once

#include "presence/store.h"
#include "results/hostrow.h"

#include <QByteArray>
#include <QString>

#include <vector>

// What goes to the broker, in Home Assistant's way: per device a retained
// discovery message, a retained state and retained attributes; the agent's
// availability; the watch's events. Pure functions, no connection.
namespace publish {

// One device as the front end knows it: what the presence store holds of
// it and its row (MakeHostRow of its record), texts as they came (they are
// cleaned here before they go out).
struct Device
{
    presence::Device seen; // its card, when it was first and last seen, present or not
    HostRow row;           // its address, network, interface, names, maker, comment, identity
};

struct Message
{
    QByteArray topic;
    QByteArray payload;
};

// The agent's name as it may stand in a topic and in Home Assistant's
// object ids: lower-case ASCII letters, digits, '-' and '_', every other
// character turned into '_', at most 64 characters. Empty when wanted has
// no letter or digit.
QString AgentName(const QString &wanted);

// The MAC's twelve lower-case hexadecimal digits, or empty when mac is no
// MAC address ("00:1A:2B:3C:4D:5E", with '-' or ':', any case).
QByteArray MacDigits(const QString &mac);
// The same of a card's six bytes; empty for any other length.
QByteArray MacDigits(const std::vector<unsigned char> &mac);

// The name Home Assistant shows: the comment, else the name, else the maker
// and the end of the MAC ("Synology Incorporated AA:BB:10"), else the MAC.
QString DisplayName(const Device &device);

QByteArray StatusTopic(const QString &agent); // "online", "offline"
QByteArray EventTopic(const QString &agent);

// The discovery message, the state and the attributes of device, in that
// order; empty when its MAC is no MAC. agent is an AgentName. The
// discovery's device has the maker its UPnP description names, else its
// card's, and its model; the attributes its type's key (TypeKey) and its
// last IPv6 addresses (ipv6, a list); each only when known.
std::vector<Message> DeviceMessages(const QString &agent, const Device &device);

// The three topics of DeviceMessages, with empty payloads: retained, they
// remove the device from the broker and from Home Assistant.
std::vector<Message> ForgetMessages(const QString &agent, const QString &mac);

} // namespace publish
