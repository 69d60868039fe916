#include "app/notifier.h"

#include "identify/identity.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("TrelvanWindow", text);
}

// How many new cards a notice names; the others are counted.
constexpr std::size_t NamedNewDevices = 3;

} // namespace

QString DeviceText(const identify::Identity &identity)
{
    QString text = identity.thisMachine ? identify::ThisMachineLabel()
                   : identity.type == identify::DeviceType::Unknown
                       ? QString()
                       : identify::TypeLabel(identity.type);
    if (!identity.model.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + identity.model;
    return text;
}

Notice NewDeviceNotice(const HostRow &row, const identify::Identity &said)
{
    const identify::Identity identity = ShownIdentity(said);
    // A name or a model is whatever its host sent: it stays one line of text
    // here, and the notifier keeps any desktop from reading it as markup.
    QStringList lines{QStringLiteral("%0 \u2014 %1").arg(row.ip, row.mac)};
    if (!row.maker.isEmpty())
        lines << tr("Fabricant\u00a0: %0").arg(row.maker);
    if (const QStringList names = HintNames(row.name, identity.friendlyName); !names.isEmpty())
        lines << tr("Nom\u00a0: %0").arg(names.front());
    const QString device = DeviceText(identity);
    return {device.isEmpty() ? tr("Nouvel appareil sur le réseau")
                             : tr("Nouvel appareil : %0").arg(device),
            lines.join(QLatin1Char('\n'))};
}

Notice NewDeviceNotice(const HostRow &row)
{
    return NewDeviceNotice(row, row.identity);
}

std::vector<Notice> NewDevicesNotices(const std::vector<HostRow> &rows, const QString &network)
{
    if (rows.empty())
        return {};
    if (rows.size() == 1)
        return {NewDeviceNotice(rows.front())};
    QStringList lines;
    for (std::size_t i = 0; i < rows.size() && i < NamedNewDevices; ++i) {
        const HostRow &row = rows[i];
        QStringList said{QStringLiteral("%0 \u2014 %1").arg(row.ip, row.mac)};
        if (const QStringList names = HintNames(row.name, row.identity.friendlyName);
            !names.isEmpty())
            said << names.front();
        if (const QString device = DeviceText(ShownIdentity(row.identity)); !device.isEmpty())
            said << device;
        if (said.size() == 1 && !row.maker.isEmpty())
            said << row.maker;
        lines << said.join(QStringLiteral(" \u2014 "));
    }
    if (rows.size() > NamedNewDevices)
        lines << tr("et %0 autres").arg(QString::number(rows.size() - NamedNewDevices));
    return {{tr("%1 nouveaux appareils sur %2").arg(QString::number(rows.size()), network),
             lines.join(QLatin1Char('\n'))}};
}

std::optional<Notice> OneNotice(const std::vector<Notice> &notices)
{
    if (notices.empty())
        return std::nullopt;
    Notice one = notices.front();
    for (std::size_t i = 1; i < notices.size(); ++i)
        one.body += QLatin1Char('\n') + notices[i].title;
    return one;
}

Notice FloodNotice(int count, const QString &network)
{
    return {tr("%1 appareils inconnus ignorés sur %2").arg(QString::number(count), network),
            tr("Un voisin répond pour de très nombreuses cartes inconnues\u00a0: elles restent "
               "affichées mais ne sont ni enregistrées ni signalées (un avis par heure au plus).")};
}

Notice GatewayChangedNotice(const QString &network, const QString &mac, const QString &previousMac)
{
    return {tr("La passerelle de %1 a changé de carte").arg(network),
            tr("La passerelle de %1 répond avec une autre carte\u00a0: %2 (avant\u00a0: %3)")
                .arg(network, mac, previousMac)};
}
