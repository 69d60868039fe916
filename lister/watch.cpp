#include "lister/watch.h"

#include "lister/eventcommand.h"
#include "lister/formats.h"
#include "lister/identifying.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "presence/cardlink.h"
#include "presence/clock.h"
#include "presence/recorder.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "scan/scanrules.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonDocument>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>
#include <set>

namespace lister {

namespace {

// Cards whose identity told last a watch keeps at most.
constexpr std::size_t MaxTold = 65536;

} // namespace

presence::ScanResult ScanOf(const ScannedNetwork &scanned)
{
    presence::ScanResult scan;
    scan.network = scanned.network;
    scan.hosts = scanned.hosts;
    scan.time = presence::Now();
    return scan;
}

namespace {

// A watch between its rounds: the store, what it said and to whom.
class Watch
{
public:
    Watch(const NetworkChoices &watchedNetworks, bool everyNetwork, bool jsonLines,
          const MakerIndex &makerIndex, std::FILE *output, std::FILE *errors,
          const QString &program, PresenceSink *presenceSink)
        : named(watchedNetworks), every(everyNetwork), json(jsonLines), makers(makerIndex),
          out(output), err(errors), sink(presenceSink)
    {
        if (!program.isEmpty())
            command = std::make_unique<EventCommand>(program, err);
        identification.SetClock(&presence::Now);
        told = recorder.Identities();
        identification.Remember(told);
        QObject::connect(&identification, &Identification::Identified, &identification,
                         [this](const Ipv4Network &network, const CardIdentities &changed) {
                             Identified(network, changed);
                         });
    }

    // The networks of the next round: those named, and with every the
    // machine's as they are now.
    std::vector<Ipv4Network> Round()
    {
        NetworkChoices round = named;
        if (every)
            AddMachineNetworks(round);
        for (const QString &note : round.notes)
            if (notes.insert(note).second)
                Complain(err, note);
        return round.networks;
    }

    // Records a round's networks, writes what changed, and tells the sink
    // of the networks no longer watched. False once nobody reads out.
    bool RecordRound(const std::vector<ScannedNetwork> &found)
    {
        comments = CommentMap(); // read again each time: the window may have saved
        LoadComments(comments);
        for (const ScannedNetwork &scanned : found)
            if (!RecordFinished(scanned))
                return false;
        // A network no longer watched: nobody is known to be there.
        for (const presence::Unwatched &gone : recorder.EndRound())
            if (sink && places.count(gone.cidr)) {
                sink->SetDevices(gone.devices, places[gone.cidr], comments, makers);
                places.erase(gone.cidr);
            }
        return true;
    }

private:
    // Records one finished network and writes its changes. False once
    // nobody reads out.
    bool RecordFinished(const ScannedNetwork &scanned)
    {
        const Ipv4Network &network = scanned.network;
        const QString cidr = network.Cidr();
        const HostPlace place = PlaceOf(network);
        presence::ScanResult scan = ScanOf(scanned);
        identification.Attach(network, scan.hosts);
        lastScans[cidr] = {network, scan.hosts};
        // What its lines show of each card (the maker's guess at first): an
        // identification tells only what differs. Bounded against a flood.
        if (told.size() > MaxTold)
            told.clear();
        for (const auto &[key, host] : scan.hosts)
            if (!host.mac.empty())
                told.emplace(host.mac, host.identity);
        // The first scan of a network in this watch also tells who is there.
        presence::ScanChanges recorded = recorder.Take(scan);
        for (presence::Change &change : recorded.changes)
            if (!change.record.mac.empty()) {
                HostMap one{{change.key, change.record}};
                identification.Attach(network, one);
                change.record.identity = one.begin()->second.identity;
            }
        QString &status = statuses[cidr];
        if (recorded.status != status && !recorded.status.isEmpty())
            Complain(err, recorded.status);
        status = recorded.status;
        // A linked card bears its device's comment, in the store too.
        if (presence::CommentsFollow(recorded.changes, comments))
            if (const CommentSave save = SaveComments(comments); !save.saved())
                Complain(err, QStringLiteral("Commentaires non enregistrés dans %1\u00a0: %2")
                                  .arg(save.fileName, save.detail));

        for (const presence::Change &change : recorded.changes) {
            const QJsonObject event = EventJson(change, comments, makers, place);
            const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
            if (const QString note = ChangeNote(change, cidr); !note.isEmpty())
                Complain(err, note);
            if (!Write(out,
                       json ? QString::fromUtf8(line) : EventText(change, comments, makers, place)))
                return false;
            if (command)
                command->Post({event.value(QStringLiteral("event")).toString(),
                               event.value(QStringLiteral("mac")).toString(),
                               event.value(QStringLiteral("ip")).toString(), line});
            if (sink)
                sink->PublishEvent(event);
        }
        if (sink && recorded.known) {
            sink->SetDevices(recorder.Devices(recorded.network), place, comments, makers);
            places[cidr] = place;
        }
        // What its devices say of themselves, when it is due.
        identification.Scanned(network, scanned.hosts);
        return true;
    }

    // A round's changes kept, and those of type or model told as they come.
    void Identified(const Ipv4Network &network, const CardIdentities &changed)
    {
        recorder.SaveIdentities(changed);
        const ScannedNetwork &scanned = lastScans[network.Cidr()];
        const HostPlace place = PlaceOf(network);
        for (const auto &[mac, identity] : changed) {
            identify::Identity &before = told[mac];
            const bool tell = TypeOrModelChanged(before, identity);
            before = identity;
            if (!tell)
                continue;
            for (const auto &[key, host] : scanned.hosts) {
                if (host.mac != mac)
                    continue;
                HostRecord record = host;
                record.identity = identity;
                const qint64 now = presence::Now();
                Write(out, IdentifiedLine(json, key, record, now, comments, makers, place));
                // The program given by --commande hears of it as of any event.
                if (command) {
                    const QJsonObject event =
                        IdentifiedJson(key, record, now, comments, makers, place);
                    command->Post({QStringLiteral("identified"),
                                   event.value(QStringLiteral("mac")).toString(),
                                   event.value(QStringLiteral("ip")).toString(),
                                   QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n'});
                }
                break;
            }
        }
    }

    const NetworkChoices named;
    const bool every;
    const bool json;
    const MakerIndex &makers;
    std::FILE *out;
    std::FILE *err;
    PresenceSink *sink;
    presence::Recorder recorder;
    std::unique_ptr<EventCommand> command;
    CommentMap comments;
    std::map<QString, QString> statuses; // by network: the store's trouble said last
    std::set<QString> notes;             // said once each
    std::map<QString, HostPlace> places; // by network: where the sink shows it
    Identification identification{makers};
    CardIdentities told;                         // by card: the identity shown last
    std::map<QString, ScannedNetwork> lastScans; // by network: its last scan's hosts
};

} // namespace

int RunWatch(const NetworkChoices &named, bool every, bool json, const MakerIndex &makers,
             std::FILE *out, std::FILE *err, std::FILE *progress, const QString &program,
             PresenceSink *sink, bool *abandoned, int periodMs)
{
    Watch watch(named, every, json, makers, out, err, program, sink);
    ScanSession session;
    session.SetPeriod(periodMs);
    FollowSession(session, progress);
    QEventLoop loop;
    std::vector<ScannedNetwork> found;
    // A stop, a reader gone or the sink's failure ends the watch between two
    // rounds; true when it did.
    const auto ended = [&] {
        if (StopRequested() || OutputClosed(out)) {
            loop.exit(Success);
            return true;
        }
        if (sink && !sink->Failure().isEmpty()) {
            Complain(err, sink->Failure());
            loop.exit(ScanFailed);
            return true;
        }
        return false;
    };
    // Checked again as a round falls due: rounds longer than the period leave
    // no quiet moment for the timer below.
    const auto startRound = [&watch, &session, &found, &ended] {
        if (ended())
            return;
        found.clear();
        session.Start(watch.Round());
    };
    QObject::connect(&session, &ScanSession::NetworkScanned, &loop,
                     [&found](const Ipv4Network &network, const HostMap &hosts) {
                         found.push_back({network, hosts});
                     });
    QObject::connect(&session, &ScanSession::RoundFinished, &loop, [&](ScanOutcome outcome) {
        switch (outcome) {
        case ScanOutcome::Done:
            break;
        case ScanOutcome::Failed:
            loop.exit(ScanFailed);
            return;
        case ScanOutcome::Abandoned:
            if (abandoned)
                *abandoned = true;
            [[fallthrough]];
        case ScanOutcome::Stopped:
            loop.exit(Success);
            return;
        }
        if (StopRequested() || !watch.RecordRound(found))
            loop.exit(Success); // stopped, or nobody reads any more
    });
    QObject::connect(&session, &ScanSession::RoundDue, &loop, startRound);
    QTimer betweenRounds;
    QObject::connect(&betweenRounds, &QTimer::timeout, &loop, [&] {
        if (!session.Running())
            ended();
    });
    betweenRounds.start(StopCheckMs);
    QTimer::singleShot(0, &loop, startRound);
    return loop.exec();
}

} // namespace lister
