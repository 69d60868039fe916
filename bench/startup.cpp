// Start-up figures of the real window: the time from process start to its
// first paint and to the end of its construction (the maker tables are
// loaded by then), and the time the maker listings take to load. It builds the
// window exactly as main does, but with an empty interface list, so nothing
// is scanned, and quits once the window is up.
//
// With --table MODE it then hands the window a scan of 254 hosts, as a
// coordinator does, and times its first table: the heartbeat's tick that
// takes it (rebuild, and the presence history's record) and its paint.
// MODE none: no network chosen, so the history is never opened; history:
// a network 198.51.100.1/24 of a fake interface list, whose own scan is
// held back (its address resolution waits, sending nothing, and answers
// none), recorded in the history of XDG_DATA_HOME: a network's first scan on
// a new file, an ordinary one once the file knows it.
//
// TRELVAN_T0_NS, when set, is the wall-clock time (ns) just before the process
// was started; otherwise the process' own start time from /proc is used.
#include "app/notifier.h"
#include "app/trelvanwindow.h"
#include "makers/makerlookup.h"
#include "makers/vendortable.h"
#include "network/networklist.h"
#include "platform/sendarp.h"
#include "results/programnames.h"
#include "windowstate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

qint64 NowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// The process' start as wall-clock ns, from /proc (10 ms resolution).
qint64 ProcessStartNs()
{
    if (const char *t0 = std::getenv("TRELVAN_T0_NS"))
        return std::atoll(t0);
    QFile stat(QStringLiteral("/proc/self/stat"));
    QFile uptime(QStringLiteral("/proc/uptime"));
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return NowNs();
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    const double startSecs = fields.value(20).toDouble() / double(sysconf(_SC_CLK_TCK));
    const double uptimeSecs = uptime.readAll().split(' ').first().toDouble();
    return NowNs() - qint64((uptimeSecs - startSecs) * 1e9);
}

QList<NetworkAddress> NoNetworks()
{
    return {};
}

QList<NetworkAddress> OneNetwork()
{
    NetworkAddress lan;
    lan.ip = QHostAddress(QStringLiteral("198.51.100.1"));
    lan.netmask = QHostAddress(QStringLiteral("255.255.255.0"));
    lan.interfaceName = QStringLiteral("eth0");
    return {lan};
}

// The held-back scan's address resolution: no request, no answer, until the
// figures are taken.
std::mutex heldMutex;
std::condition_variable heldCondition;
bool released = false;
quint32 HeldSendARP(quint32, quint32, void *, quint32 *physAddrLen)
{
    std::unique_lock<std::mutex> lock(heldMutex);
    heldCondition.wait(lock, [] { return released; });
    *physAddrLen = 0;
    return 31; // no answer
}

struct Quiet : Notifier
{
    void Notify(const Notice &) override {}
};

// A /24's worth of answers: makers of every kind, a third with web servers,
// half with names.
HostMap ScanOf254()
{
    HostMap hosts;
    for (quint32 last = 1; last <= 254; ++last) {
        const unsigned char first = last % 4 == 0 ? 0x02 : last % 4 == 1 ? 0x00 : 0xB8;
        const unsigned char second = last % 4 == 1 ? 0x11 : last % 4 == 2 ? 0x27 : 0x54;
        HostRecord record({first, second, static_cast<unsigned char>(last % 4 == 1 ? 0x32 : 0xEB),
                           0x10, 0x20, static_cast<unsigned char>(last)},
                          last % 3 == 0,
                          last % 2 ? QStringLiteral("machine-%1").arg(last) : QString());
        hosts[HostKey((0xC6336400u | last))] = record;
    }
    return hosts;
}

// The first paint of a table that shows rows.
class TablePaint : public QObject
{
public:
    explicit TablePaint(QTableWidget *shown) : table(shown) {}
    qint64 at = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && at == 0 && table->rowCount() > 0) {
            at = NowNs();
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTableWidget *table;
};

class FirstPaint : public QObject
{
public:
    qint64 at = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && at == 0) {
            at = NowNs();
            // Let the paint reach the screen, then stop.
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const qint64 start = ProcessStartNs();
    const QString table = argc == 3 && std::strcmp(argv[1], "--table") == 0
                              ? QString::fromLatin1(argv[2])
                              : QString();
    const bool history = table == QLatin1String("history");
    SetInterfaceLister(history ? &OneNetwork : &NoNetworks);
    platform::SetSendArpFunction(&HeldSendARP);
    Quiet quiet;
    TrelvanWindow::SetNotifier(&quiet);

    QApplication application(argc, argv);
    SetProgramNames();
    // The window saves comments when it goes: keep them out of the user's store.
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());

    FirstPaint firstPaint;
    application.installEventFilter(&firstPaint);
    const qint64 beforeWindow = NowNs();
    TrelvanWindow window(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                         Qt::WindowCloseButtonHint);
    const qint64 windowReady = NowNs();
    if (firstPaint.at == 0) {
        // Not drawn during construction: the first paint comes from the
        // event loop, once the window system has shown the window.
        QTimer::singleShot(5000, qApp, &QCoreApplication::quit);
        application.exec();
    }

    if (!table.isEmpty()) {
        const HostMap hosts = ScanOf254();
        QTableWidget *shown = WindowInspector::ui(window).Hosts_;
        TablePaint tablePaint(shown);
        shown->viewport()->installEventFilter(&tablePaint);
        const qint64 published = NowNs();
        window.PublishHosts(hosts);
        WindowInspector::tick(window);
        const qint64 ticked = NowNs();
        QTimer::singleShot(5000, qApp, &QCoreApplication::quit);
        application.exec();
        std::printf("table_rows %d\n", shown->rowCount());
        std::printf("table_tick_ms %.1f\n", double(ticked - published) / 1e6);
        std::printf("table_paint_ms %.1f\n", double(tablePaint.at - published) / 1e6);
        std::printf("table_since_start_ms %.1f\n", double(tablePaint.at - start) / 1e6);
    }
    {
        const std::lock_guard<std::mutex> lock(heldMutex);
        released = true;
    }
    heldCondition.notify_all();

    QElapsedTimer timer;
    VendorTable vendors;
    timer.start();
    LoadVendorListing(QStringLiteral(":/res/oui.txt"), vendors);
    const qint64 vendorNs = timer.nsecsElapsed();
    MakerIndex blocks;
    timer.start();
    IndexVendors(vendors, blocks);
    LoadMakerBlocks(blocks);
    const qint64 blocksNs = timer.nsecsElapsed();

    std::printf("first_paint_ms %.1f\n", double(firstPaint.at - start) / 1e6);
    std::printf("application_ready_ms %.1f\n", double(beforeWindow - start) / 1e6);
    std::printf("window_ready_ms %.1f\n", double(windowReady - start) / 1e6);
    std::printf("window_construction_ms %.1f\n", double(windowReady - beforeWindow) / 1e6);
    std::printf("vendor_load_ms %.1f\n", double(vendorNs) / 1e6);
    std::printf("vendor_keys %zu\n", vendors.size());
    std::printf("maker_blocks_ms %.1f\n", double(blocksNs) / 1e6);
    std::printf("maker_blocks %zu\n", blocks.blocks28.size() + blocks.blocks36.size());
    return 0;
}
