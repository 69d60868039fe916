#include "lister/scanonce.h"

#include "lister/terminal.h"

#include <QEventLoop>
#include <QTimer>

namespace lister {

void FollowSession(ScanSession &session, std::FILE *progress)
{
    if (progress) {
        QObject::connect(&session, &ScanSession::StatusLine, &session,
                         [progress](const QString &text) {
                             if (!text.isEmpty())
                                 Write(progress, QStringLiteral("\r\x1b[K%1").arg(text));
                         });
        QObject::connect(&session, &ScanSession::BatchFinished, &session,
                         [progress] { Write(progress, QStringLiteral("\r\x1b[K")); });
    }
    // A signal only sets a flag: it is looked at on the session's loop.
    auto *stopCheck = new QTimer(&session);
    QObject::connect(stopCheck, &QTimer::timeout, &session, [&session] {
        if (StopRequested())
            session.Stop();
    });
    stopCheck->start(StopCheckMs);
}

ScanOutcome ScanNetworks(const std::vector<Ipv4Network> &networks, std::FILE *progress,
                         std::vector<ScannedNetwork> &found)
{
    found.clear();
    ScanSession session;
    FollowSession(session, progress);
    QEventLoop loop;
    ScanOutcome outcome = ScanOutcome::Done;
    QObject::connect(&session, &ScanSession::NetworkScanned, &loop,
                     [&found](const Ipv4Network &network, const HostMap &hosts) {
                         found.push_back({network, hosts});
                     });
    QObject::connect(&session, &ScanSession::RoundFinished, &loop,
                     [&outcome, &loop](ScanOutcome ended) {
                         outcome = ended;
                         loop.quit();
                     });
    session.Start(networks);
    if (session.Running())
        loop.exec();
    // A stop that came as the last scan ended still stops.
    if (outcome == ScanOutcome::Done && StopRequested())
        outcome = ScanOutcome::Stopped;
    return outcome;
}

} // namespace lister
