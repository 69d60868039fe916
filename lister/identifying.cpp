#include "lister/identifying.h"

#include "lister/formats.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "results/listwriters.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonDocument>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace lister {

CardIdentities IdentifyScanned(std::vector<ScannedNetwork> &found, const MakerIndex &makers,
                               const CardIdentities &remembered)
{
    // One per network, so that their rounds run together.
    std::vector<std::unique_ptr<Identification>> rounds;
    CardIdentities learnt;
    QEventLoop loop;
    int running = 0;
    for (const ScannedNetwork &scanned : found) {
        auto identification = std::make_unique<Identification>(makers);
        identification->Remember(remembered);
        QObject::connect(identification.get(), &Identification::Identified, &loop,
                         [&](const Ipv4Network &, const CardIdentities &changed) {
                             for (const auto &[mac, identity] : changed)
                                 learnt[mac] = identity;
                             if (--running == 0)
                                 loop.quit();
                         });
        // Counted first: a round may end as it starts.
        ++running;
        if (!identification->Scanned(scanned.network, scanned.hosts))
            --running;
        rounds.push_back(std::move(identification));
    }
    if (running > 0) {
        QTimer::singleShot(RoundWaitMs, &loop, &QEventLoop::quit);
        QTimer stopCheck; // a stop signal ends the wait too
        QObject::connect(&stopCheck, &QTimer::timeout, &loop, [&loop] {
            if (StopRequested())
                loop.quit();
        });
        stopCheck.start(StopCheckMs);
        loop.exec();
    }
    for (std::size_t i = 0; i < found.size(); ++i)
        rounds[i]->Attach(found[i].network, found[i].hosts);
    return learnt;
}

bool TypeOrModelChanged(const identify::Identity &before, const identify::Identity &after)
{
    return before.type != after.type || before.model != after.model;
}

QJsonObject IdentifiedJson(quint32 key, const HostRecord &record, qint64 time,
                           const CommentMap &comments, const MakerIndex &makers,
                           const HostPlace &place)
{
    QJsonObject object = ToJson(MakeHostRow(key, record, comments, makers, place));
    object.insert(QStringLiteral("time"), IsoTimeText(time));
    object.insert(QStringLiteral("event"), QStringLiteral("identified"));
    object.insert(QStringLiteral("type"),
                  QString::fromLatin1(identify::TypeKey(record.identity.type)));
    object.insert(QStringLiteral("model"), record.identity.model);
    return object;
}

QString IdentifiedText(quint32 key, const HostRecord &record, qint64 time,
                       const CommentMap &comments, const MakerIndex &makers, const HostPlace &place)
{
    // The columns of EventText.
    const HostRow row = MakeHostRow(key, record, comments, makers, place);
    QStringList fields{QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("HH:mm:ss")),
                       QStringLiteral("identifié"), row.ip.leftJustified(15),
                       row.mac.leftJustified(17)};
    QString what = identify::ShownType(record.identity);
    if (!record.identity.model.isEmpty())
        what += QStringLiteral(" — ") + record.identity.model;
    fields << TerminalText(what);
    if (!row.name.isEmpty())
        fields << TerminalText(row.name);
    return fields.join(QStringLiteral("  ")) + QLatin1Char('\n');
}

QString IdentifiedLine(bool json, quint32 key, const HostRecord &record, qint64 time,
                       const CommentMap &comments, const MakerIndex &makers, const HostPlace &place)
{
    if (!json)
        return IdentifiedText(key, record, time, comments, makers, place);
    return QString::fromUtf8(
        QJsonDocument(IdentifiedJson(key, record, time, comments, makers, place))
            .toJson(QJsonDocument::Compact) +
        '\n');
}

} // namespace lister
