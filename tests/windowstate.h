#pragma once

#include "app/notifier.h"
#include "app/trelvanwindow.h"
#include "app/trelvanwindowui.h"
#include "presence/store.h"
#include "scan/checkthread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QTimerEvent>

#include <vector>

// Keeps the notices a window gives; installed before the windows are built,
// so that no test ever notifies the desktop.
struct FakeNotifier : Notifier
{
    std::vector<Notice> notices;
    void Notify(const Notice &notice) override { notices.push_back(notice); }
};

// The presence history of the test's own data folder, gone: each test
// begins with a history that has never seen a network.
inline void ForgetHistory()
{
    const QString file = presence::Store::DefaultFileName();
    QDir(file).removeRecursively();
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(file + QLatin1String(suffix));
}

// The window keeps its state private; tests read and drive it through here.
class WindowInspector
{
public:
    static TrelvanWindowUi &ui(TrelvanWindow &w) { return *w.ui; }
    static CheckThread *checker(TrelvanWindow &w) { return w.checker; }
    static int timerId(TrelvanWindow &w) { return w.timerId; }
    static bool refreshingNetworks(TrelvanWindow &w) { return w.refreshingNetworks; }
    static QTime &lastRefresh(TrelvanWindow &w) { return w.lastRefresh; }
    static HostMap &shownHosts(TrelvanWindow &w) { return w.shownHosts; }
    static CommentMap &comments(TrelvanWindow &w) { return w.comments; }
    static VendorTable &vendorTable(TrelvanWindow &w) { return w.vendorTable; }
    static MakerIndex &makerIndex(TrelvanWindow &w) { return w.makerIndex; }
    static const CardIdentities &identities(TrelvanWindow &w) { return w.identification->Known(); }
    // As if a round had learnt them.
    static void remember(TrelvanWindow &w, const CardIdentities &known)
    {
        w.identification->Remember(known);
    }
    static QButtonGroup &webButtons(TrelvanWindow &w) { return w.webButtons; }

    static HostMap latestHosts(TrelvanWindow &w)
    {
        QMutexLocker locker(&w.mutex);
        return w.latestHosts;
    }
    static QString pendingStatus(TrelvanWindow &w)
    {
        QMutexLocker locker(&w.mutex);
        return w.pendingStatus;
    }

    static void refreshNetworks(TrelvanWindow &w) { w.RefreshNetworks(); }
    static void rebuildHosts(TrelvanWindow &w) { w.RebuildHosts(); }
    static void harvestComments(TrelvanWindow &w) { w.HarvestComments(); }

    // Delivers one heartbeat tick (or a timer event of another id) at once.
    static void tick(TrelvanWindow &w) { tick(w, w.timerId); }
    static void tick(TrelvanWindow &w, int id)
    {
        QTimerEvent event(id);
        QCoreApplication::sendEvent(&w, &event);
    }

    // Waits until the history has recorded every scan handed to it and the
    // window has taken the changes.
    static bool settle(TrelvanWindow &w)
    {
        const QDeadlineTimer deadline(10000);
        while (w.recording && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return !w.recording;
    }

    // Waits for the current coordinator, if any, and lets the heartbeat
    // delete it and hand its scan to the history.
    static void finishScan(TrelvanWindow &w)
    {
        if (w.checker)
            w.checker->wait();
        tick(w);
        settle(w);
    }
};
