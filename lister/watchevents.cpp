#include "lister/watch.h"

#include "lister/formats.h"
#include "lister/terminal.h"
#include "presence/cardlink.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QDateTime>
#include <QJsonObject>
#include <QStringList>

// What --suivre says of each change: a JSON object, a line for a person,
// and the note standard error gives besides.
namespace lister {

namespace {

QString EventName(presence::ChangeKind kind)
{
    switch (kind) {
    case presence::ChangeKind::New:
    case presence::ChangeKind::Arrived:
        return QStringLiteral("appeared");
    case presence::ChangeKind::Left:
        return QStringLiteral("left");
    default:
        return presence::KindName(kind);
    }
}

// The event as EventText says it.
QString EventWord(presence::ChangeKind kind)
{
    switch (kind) {
    case presence::ChangeKind::New:
        return QStringLiteral("nouveau");
    case presence::ChangeKind::Arrived:
        return QStringLiteral("arrivé");
    case presence::ChangeKind::Left:
        return QStringLiteral("parti");
    case presence::ChangeKind::AddressChanged:
        return QStringLiteral("changement d'adresse");
    case presence::ChangeKind::MacChanged:
        return QStringLiteral("changement de carte");
    case presence::ChangeKind::Flood:
        return QStringLiteral("inconnus ignorés");
    case presence::ChangeKind::GatewayChanged:
        return QStringLiteral("passerelle changée");
    case presence::ChangeKind::Conflict:
        return QStringLiteral("conflit");
    case presence::ChangeKind::CardLinked:
        return QStringLiteral("reliée");
    case presence::ChangeKind::CardUnlinked:
        return QStringLiteral("séparée");
    case presence::ChangeKind::Forgotten:
        break;
    }
    return QStringLiteral("oublié");
}

// The columns of EventText: the usual events, addresses and cards line up.
constexpr int EventWidth = 9;
constexpr int AddressWidth = 15;
constexpr int MacWidth = 17;

} // namespace

QJsonObject EventJson(const presence::Change &change, const CommentMap &comments,
                      const MakerIndex &makers, const HostPlace &place)
{
    if (change.kind == presence::ChangeKind::Flood)
        return QJsonObject{{QStringLiteral("time"), IsoTimeText(change.time)},
                           {QStringLiteral("event"), EventName(change.kind)},
                           {QStringLiteral("count"), change.count},
                           {QStringLiteral("network"), place.network},
                           {QStringLiteral("interface"), place.interfaceName}};
    QJsonObject object = ToJson(MakeHostRow(change.key, change.record, comments, makers, place));
    object.insert(QStringLiteral("time"), IsoTimeText(change.time));
    object.insert(QStringLiteral("event"), EventName(change.kind));
    switch (change.kind) {
    case presence::ChangeKind::New:
    case presence::ChangeKind::Arrived:
        object.insert(QStringLiteral("new"), change.kind == presence::ChangeKind::New);
        break;
    case presence::ChangeKind::AddressChanged:
        object.insert(QStringLiteral("previous_ip"), AddressText(change.previousKey));
        break;
    case presence::ChangeKind::MacChanged:
    case presence::ChangeKind::GatewayChanged:
        object.insert(QStringLiteral("previous_mac"), MacToText(change.previousMac));
        break;
    case presence::ChangeKind::Conflict:
        object.insert(QStringLiteral("other_mac"), MacToText(change.previousMac));
        break;
    case presence::ChangeKind::CardLinked:
        object.insert(QStringLiteral("new"), false);
        object.insert(QStringLiteral("previous_mac"), MacToText(change.previousMac));
        object.insert(QStringLiteral("device"), MacToText(change.device));
        object.insert(QStringLiteral("signal"),
                      QJsonObject{{QStringLiteral("kind"), change.signalKind},
                                  {QStringLiteral("name"), change.signal}});
        break;
    case presence::ChangeKind::CardUnlinked:
        object.insert(QStringLiteral("new"), false);
        object.insert(QStringLiteral("device"), MacToText(change.device));
        break;
    case presence::ChangeKind::Left:
    case presence::ChangeKind::Flood:
    case presence::ChangeKind::Forgotten:
        break;
    }
    return object;
}

QString EventText(const presence::Change &change, const CommentMap &comments,
                  const MakerIndex &makers, const HostPlace &place)
{
    QStringList fields{
        QDateTime::fromMSecsSinceEpoch(change.time).toString(QStringLiteral("HH:mm:ss")),
        EventWord(change.kind).leftJustified(EventWidth)};
    if (change.kind == presence::ChangeKind::Flood) {
        fields << QStringLiteral("%1 sur %2").arg(change.count).arg(place.network);
    } else {
        const HostRow row = MakeHostRow(change.key, change.record, comments, makers, place);
        fields << row.ip.leftJustified(AddressWidth) << row.mac.leftJustified(MacWidth);
        if (!row.maker.trimmed().isEmpty())
            fields << TerminalText(row.maker.trimmed());
        if (!row.name.isEmpty())
            fields << TerminalText(row.name);
        if (!row.comment.trimmed().isEmpty())
            fields << Quoted(TerminalText(row.comment.trimmed()));
        switch (change.kind) {
        case presence::ChangeKind::AddressChanged:
            fields << QStringLiteral("(avant\u00a0: %1)").arg(AddressText(change.previousKey));
            break;
        case presence::ChangeKind::MacChanged:
        case presence::ChangeKind::GatewayChanged:
            fields << QStringLiteral("(avant\u00a0: %1)").arg(MacToText(change.previousMac));
            break;
        case presence::ChangeKind::Conflict:
            fields << QStringLiteral("(et %1)").arg(MacToText(change.previousMac));
            break;
        case presence::ChangeKind::CardLinked:
            if (change.signalKind == QLatin1String("user"))
                fields << QStringLiteral("(même appareil que %1\u00a0: %2)")
                              .arg(MacToText(change.previousMac),
                                   presence::SignalKindText(change.signalKind));
            else
                fields << QStringLiteral("(adresse privée, même appareil que %1\u00a0: même nom "
                                         "%2 «\u00a0%3\u00a0»)")
                              .arg(MacToText(change.previousMac),
                                   presence::SignalKindText(change.signalKind),
                                   TerminalText(change.signal));
            break;
        case presence::ChangeKind::CardUnlinked:
            fields << QStringLiteral("(séparée par l'utilisateur de l'appareil de %1)")
                          .arg(MacToText(change.previousMac));
            break;
        default:
            break;
        }
    }
    QString line = fields.join(QStringLiteral("  "));
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    return line + QLatin1Char('\n');
}

QString ChangeNote(const presence::Change &change, const QString &network)
{
    switch (change.kind) {
    case presence::ChangeKind::Flood:
        return QStringLiteral("%1 appareils inconnus ignorés sur %2")
            .arg(change.count)
            .arg(network);
    case presence::ChangeKind::Conflict:
        return QStringLiteral("Conflit d'adresse\u00a0: %1 revendiquée par %2 et %3")
            .arg(AddressText(change.key), MacToText(change.record.mac),
                 MacToText(change.previousMac));
    default:
        return QString();
    }
}

} // namespace lister
