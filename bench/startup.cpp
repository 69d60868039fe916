// Start-up figures of the real window: the time from process start to its
// first paint and to the end of its construction (the maker tables are
// loaded by then), and the time the maker listings take to load. It builds the
// window exactly as main does, but with an empty interface list, so nothing
// is scanned, and quits once the window is up.
//
// TRELVAN_T0_NS, when set, is the wall-clock time (ns) just before the process
// was started; otherwise the process' own start time from /proc is used.
#include "app/trelvanwindow.h"
#include "makers/makerlookup.h"
#include "makers/vendortable.h"
#include "network/networklist.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    SetInterfaceLister(&NoNetworks);

    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Dantrix"));
    QCoreApplication::setApplicationName(QStringLiteral("Trelvan"));
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
