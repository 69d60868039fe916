#include "lister/watch.h"

#include "lister/eventcommand.h"
#include "lister/formats.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "presence/clock.h"
#include "presence/recorder.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "scan/scanrules.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QStringList>
#include <QThread>

#include <map>
#include <memory>
#include <set>

namespace lister {

namespace {

constexpr int PollMs = 100;

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
        if (!row.maker.isEmpty())
            fields << TerminalText(row.maker);
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

presence::ScanResult ScanOf(const NetworkChoice &network, const HostMap &hosts)
{
    presence::ScanResult scan;
    scan.address = network.address;
    scan.netmask = network.netmask;
    scan.interfaceName = network.interfaceName;
    scan.hosts = hosts;
    scan.time = presence::Now();
    return scan;
}

int RunWatch(const NetworkChoices &named, bool every, bool json, const MakerIndex &makers,
             std::FILE *out, std::FILE *err, std::FILE *progress, const QString &program,
             PresenceSink *sink, bool *abandoned)
{
    presence::Recorder recorder;
    std::unique_ptr<EventCommand> command;
    if (!program.isEmpty())
        command = std::make_unique<EventCommand>(program, err);
    std::map<QString, QString> statuses; // by network: the store's trouble said last
    std::set<QString> notes;             // said once each
    std::map<QString, HostPlace> places; // by network: where the sink shows it
    QElapsedTimer sinceStart;
    for (;;) {
        sinceStart.start();
        NetworkChoices round = named;
        if (every)
            AddMachineNetworks(round);
        for (const QString &note : round.notes)
            if (notes.insert(note).second)
                Complain(err, note);
        std::vector<HostMap> found;
        switch (ScanNetworks(round.networks, progress, found)) {
        case ScanOutcome::Done:
            break;
        case ScanOutcome::Failed:
            return ScanFailed;
        case ScanOutcome::Stopped:
            return Success;
        case ScanOutcome::Abandoned:
            if (abandoned)
                *abandoned = true;
            return Success;
        }

        CommentMap comments; // read again each time: the window may have saved
        LoadComments(comments);
        for (std::size_t i = 0; i < round.networks.size(); ++i) {
            const NetworkChoice &network = round.networks[i];
            const HostPlace place = PlaceOf(network);
            const HostMap &hosts = found[i];
            const presence::ScanResult scan = ScanOf(network, hosts);
            const presence::ScanChanges recorded = recorder.Take(scan);
            QString &status = statuses[network.cidr];
            if (recorded.status != status && !recorded.status.isEmpty())
                Complain(err, recorded.status);
            status = recorded.status;

            for (const presence::Change &change : recorded.changes) {
                const QJsonObject event = EventJson(change, comments, makers, place);
                const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
                if (const QString note = ChangeNote(change, network.cidr); !note.isEmpty())
                    Complain(err, note);
                if (!Write(out, json ? QString::fromUtf8(line)
                                     : EventText(change, comments, makers, place)))
                    return Success; // nobody reads any more
                if (command)
                    command->Post({event.value(QStringLiteral("event")).toString(),
                                   event.value(QStringLiteral("mac")).toString(),
                                   event.value(QStringLiteral("ip")).toString(), line});
                if (sink)
                    sink->PublishEvent(event);
            }
            if (sink && recorded.known) {
                sink->SetDevices(recorder.Devices(recorded.network), place, comments, makers);
                places[network.cidr] = place;
            }
        }
        // A network no longer watched: nobody is known to be there.
        for (const presence::Unwatched &gone : recorder.EndRound())
            if (sink && places.count(gone.cidr)) {
                sink->SetDevices(gone.devices, places[gone.cidr], comments, makers);
                places.erase(gone.cidr);
            }

        while (sinceStart.elapsed() < RescanPeriodSecs * 1000) {
            if (StopRequested() || OutputClosed(out))
                return Success;
            if (sink && !sink->Failure().isEmpty()) {
                Complain(err, sink->Failure());
                return ScanFailed;
            }
            QThread::msleep(PollMs);
        }
    }
}

} // namespace lister
