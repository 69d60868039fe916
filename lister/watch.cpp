#include "lister/watch.h"

#include "lister/formats.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "scan/scanrules.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

namespace lister {

namespace {

constexpr int PollMs = 100;

QJsonObject EventJson(const Watch::Event &event, const CommentMap &comments,
                      const MakerIndex &makers)
{
    HostMap one{{event.key, event.record}};
    QJsonObject object = ToJson(MakeHostRows(one, comments, makers).front());
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc());
    object.insert(QStringLiteral("time"), now.toString(Qt::ISODate));
    object.insert(QStringLiteral("event"), event.kind);
    if (event.kind == QLatin1String("mac-changed"))
        object.insert(QStringLiteral("previous_mac"), MacToText(event.previousMac));
    return object;
}

} // namespace

std::vector<Watch::Event> Watch::Update(const HostMap &scan)
{
    std::vector<Event> events;
    for (const auto &[key, record] : scan) {
        const auto found = known.find(key);
        if (found == known.end()) {
            events.push_back({QStringLiteral("appeared"), key, record, {}});
            known[key] = Known{record, 0};
            continue;
        }
        if (found->second.record.mac != record.mac)
            events.push_back(
                {QStringLiteral("mac-changed"), key, record, found->second.record.mac});
        found->second = Known{record, 0};
    }
    for (auto host = known.begin(); host != known.end();) {
        if (scan.count(host->first) || ++host->second.misses < 2) {
            ++host;
            continue;
        }
        events.push_back({QStringLiteral("left"), host->first, host->second.record, {}});
        host = known.erase(host);
    }
    return events;
}

int RunWatch(const NetworkChoice &network, const MakerIndex &makers, std::FILE *out,
             std::FILE *progress, bool *abandoned)
{
    Watch watch;
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
        CommentMap comments; // read again each time: the window may have saved
        LoadComments(comments);
        for (const Watch::Event &event : watch.Update(hosts)) {
            const QByteArray line =
                QJsonDocument(EventJson(event, comments, makers)).toJson(QJsonDocument::Compact);
            if (!Write(out, QString::fromUtf8(line) + QLatin1Char('\n')))
                return Success; // nobody reads any more
        }
        while (sinceStart.elapsed() < RescanPeriodSecs * 1000) {
            if (StopRequested() || OutputClosed(out))
                return Success;
            QThread::msleep(PollMs);
        }
    }
}

} // namespace lister
