#pragma once

// The kinds of device a row can show, each with a stable English key (the
// lists' `type`) and its French label.

#include <QString>

namespace identify {

enum class DeviceType
{
    Unknown,
    Router,
    AccessPoint,
    Computer,
    Phone,
    Tablet,
    Printer,
    Tv,
    MediaPlayer,
    Speaker,
    Nas,
    Camera,
    GameConsole,
    Iot
};

// "router", "access-point", ... "unknown".
const char *TypeKey(DeviceType type);
// The type of a key, Unknown for a key of no type.
DeviceType TypeOfKey(const QString &key);
// "routeur", "point d'accès", ... "inconnu", in lower case as inside a
// sentence.
QString TypeLabel(DeviceType type);
// The label of the machine's own row, whatever its type.
QString ThisMachineLabel();

} // namespace identify
