#include "lister/watch.h"

#include "lister/eventcommand.h"
#include "lister/formats.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "presence/clock.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "scan/scanrules.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

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
    case presence::ChangeKind::AddressChanged:
    case presence::ChangeKind::MacChanged:
        break;
    }
    return presence::KindName(kind);
}

} // namespace

QJsonObject EventJson(const presence::Change &change, const CommentMap &comments,
                      const MakerIndex &makers)
{
    QJsonObject object = ToJson(MakeHostRow(change.key, change.record, comments, makers));
    object.insert(QStringLiteral("time"), TimeText(change.time));
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
        object.insert(QStringLiteral("previous_mac"), MacToText(change.previousMac));
        break;
    case presence::ChangeKind::Left:
        break;
    }
    return object;
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

int RunWatch(const NetworkChoice &network, const MakerIndex &makers, std::FILE *out, std::FILE *err,
             std::FILE *progress, const QString &program, bool *abandoned)
{
    presence::Store store;
    std::unique_ptr<EventCommand> command;
    if (!program.isEmpty())
        command = std::make_unique<EventCommand>(program, err);
    QString status;
    bool first = true;
    QElapsedTimer sinceStart;
    for (;;) {
        sinceStart.start();
        HostMap hosts;
        switch (ScanOnce(network, progress, hosts)) {
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
        const presence::ScanResult scan = ScanOf(network, hosts);
        const presence::ScanChanges recorded = store.Record(scan);
        if (recorded.status != status && !recorded.status.isEmpty())
            Complain(err, recorded.status);
        status = recorded.status;

        std::vector<presence::Change> changes;
        if (first) {
            // Who is there when the watch begins, unless a change says more.
            std::set<presence::Mac> told;
            for (const presence::Change &change : recorded.changes)
                told.insert(change.record.mac);
            for (const quint32 key : KeysInAddressOrder(hosts))
                if (!told.count(hosts[key].mac)) {
                    presence::Change change;
                    change.kind = presence::ChangeKind::Arrived;
                    change.time = scan.time;
                    change.key = key;
                    change.record = hosts[key];
                    changes.push_back(std::move(change));
                }
            first = false;
        }
        changes.insert(changes.end(), recorded.changes.begin(), recorded.changes.end());

        CommentMap comments; // read again each time: the window may have saved
        LoadComments(comments);
        for (const presence::Change &change : changes) {
            const QJsonObject event = EventJson(change, comments, makers);
            const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
            if (!Write(out, QString::fromUtf8(line)))
                return Success; // nobody reads any more
            if (command)
                command->Post({event.value(QStringLiteral("event")).toString(),
                               event.value(QStringLiteral("mac")).toString(),
                               event.value(QStringLiteral("ip")).toString(), line});
        }
        while (sinceStart.elapsed() < RescanPeriodSecs * 1000) {
            if (StopRequested() || OutputClosed(out))
                return Success;
            QThread::msleep(PollMs);
        }
    }
}

} // namespace lister
