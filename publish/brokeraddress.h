#pragma once

#include <QString>

#include <optional>

namespace publish {

// Where the broker is: mqtt://[USER@]HOST[:PORT] (port 1883) or
// mqtts://[USER@]HOST[:PORT] (port 8883, TLS checked against the system's
// certificate authorities). No password: it never goes on a command line.
struct BrokerAddress
{
    bool tls = false;
    QString user; // may be empty
    QString host; // a name, an IPv4 address or an IPv6 address without brackets
    quint16 port = 0;

    // Back as an address, for messages: never holds a password.
    QString Text() const;
};

// The address, or nothing with *error saying why (in French, without
// repeating the text: it may hold a password typed where none belongs).
std::optional<BrokerAddress> ParseBrokerAddress(const QString &text, QString *error);

// The broker's password: the first line of passwordFile when one is named
// (at most 4 KiB), else the value of TRELVAN_MQTT_PASSWORD, which is then
// removed from the environment so that no program started later inherits
// it, and wiped from the process's first environment block, which
// /proc/PID/environ shows whatever the environment holds now; empty when
// neither gives one. False with *error when the file can't be
// read, is empty or too long.
bool ReadPassword(const QString &passwordFile, QString *password, QString *error);

} // namespace publish
