#include "identify/devicetype.h"

#include <QCoreApplication>

namespace identify {

namespace {

struct TypeName
{
    DeviceType type;
    const char *key;
    const char *label;
};

constexpr TypeName kTypeNames[] = {
    {DeviceType::Unknown, "unknown", QT_TRANSLATE_NOOP("DeviceType", "inconnu")},
    {DeviceType::Router, "router", QT_TRANSLATE_NOOP("DeviceType", "routeur")},
    {DeviceType::AccessPoint, "access-point", QT_TRANSLATE_NOOP("DeviceType", "point d'accès")},
    {DeviceType::Computer, "computer", QT_TRANSLATE_NOOP("DeviceType", "ordinateur")},
    {DeviceType::Phone, "phone", QT_TRANSLATE_NOOP("DeviceType", "téléphone")},
    {DeviceType::Tablet, "tablet", QT_TRANSLATE_NOOP("DeviceType", "tablette")},
    {DeviceType::Printer, "printer", QT_TRANSLATE_NOOP("DeviceType", "imprimante")},
    {DeviceType::Tv, "tv", QT_TRANSLATE_NOOP("DeviceType", "téléviseur")},
    {DeviceType::MediaPlayer, "media-player",
     QT_TRANSLATE_NOOP("DeviceType", "lecteur multimédia")},
    {DeviceType::Speaker, "speaker", QT_TRANSLATE_NOOP("DeviceType", "enceinte")},
    {DeviceType::Nas, "nas", QT_TRANSLATE_NOOP("DeviceType", "stockage réseau")},
    {DeviceType::Camera, "camera", QT_TRANSLATE_NOOP("DeviceType", "caméra")},
    {DeviceType::GameConsole, "game-console", QT_TRANSLATE_NOOP("DeviceType", "console de jeu")},
    {DeviceType::Iot, "iot", QT_TRANSLATE_NOOP("DeviceType", "objet connecté")},
};

const TypeName &NameOf(DeviceType type)
{
    for (const TypeName &name : kTypeNames)
        if (name.type == type)
            return name;
    return kTypeNames[0];
}

} // namespace

const char *TypeKey(DeviceType type)
{
    return NameOf(type).key;
}

DeviceType TypeOfKey(const QString &key)
{
    for (const TypeName &name : kTypeNames)
        if (key == QLatin1String(name.key))
            return name.type;
    return DeviceType::Unknown;
}

QString TypeLabel(DeviceType type)
{
    return QCoreApplication::translate("DeviceType", NameOf(type).label);
}

QString ThisMachineLabel()
{
    return QCoreApplication::translate("DeviceType", "cet ordinateur");
}

} // namespace identify
