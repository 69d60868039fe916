#include "app/trelvanwindow.h"

#include "app/historydialog.h"
#include "app/notifier.h"
#include "app/trelvanwindowui.h"
#include "app/windowlog.h"
#include "network/gateways.h"
#include "network/networklist.h"
#include "presence/clock.h"
#include "presence/recorder.h"
#include "results/comments.h"
#include "results/hoststable.h"
#include "results/programnames.h"
#include "scan/checkthread.h"
#include "scan/scanrules.h"
#include "trelvanversion.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QMutexLocker>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimerEvent>
#include <QWindow>

#include <atomic>

Q_LOGGING_CATEGORY(lcWindow, "trelvan.window")

namespace {

constexpr int HeartbeatMs = 250;

std::atomic<TrelvanWindow::Clock> installedClock{nullptr};
Notifier *installedNotifier = nullptr; // the GUI thread's only

// How long start-up waits for the window system to put the window on the
// screen before it goes on loading.
constexpr int ExposeWaitMs = 200;

QTime CurrentTime()
{
    const TrelvanWindow::Clock clock = installedClock.load();
    return clock ? clock() : QTime::currentTime();
}

} // namespace

TrelvanWindow::TrelvanWindow(Qt::WindowFlags flags)
    : QDialog(nullptr, flags), ui(new TrelvanWindowUi), timerId(0), refreshingNetworks(false),
      webButtons(nullptr), checker(nullptr)
{
    notifier = installedNotifier;
    if (!notifier) {
        desktopNotifier = DesktopNotifier(this);
        notifier = desktopNotifier.get();
    }
    ui->setupUi(this);
    show();
    ui->Status_->setText(tr("Initialisation..."));
    // Qt draws only a window that the window system has exposed, which takes
    // a round trip to it; wait for that, so that the user sees the window
    // with its status while the listing and the comments load.
    QElapsedTimer exposeWait;
    exposeWait.start();
    while (!(windowHandle() && windowHandle()->isExposed()) && exposeWait.elapsed() < ExposeWaitMs)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    repaint();
    connect(&webButtons, &QButtonGroup::buttonClicked, this, &TrelvanWindow::OnURL);
    connect(ui->Hosts_, &QTableWidget::itemChanged, this, &TrelvanWindow::OnHostItemChanged);
    connect(ui->Hosts_, &QWidget::customContextMenuRequested, this, &TrelvanWindow::ShowRowMenu);

    // The history is written on a thread of its own, so that a locked,
    // slow or huge file never holds the heartbeat.
    recorder = new presence::Recorder(presence::Store::DefaultFileName());
    recorder->moveToThread(&recorderThread);
    connect(recorder, &presence::Recorder::Recorded, this, &TrelvanWindow::RecordFinished);
    connect(recorder, &presence::Recorder::DevicesRead, this, &TrelvanWindow::LoadFirstSeen);
    recorderThread.setObjectName(QStringLiteral("presence recorder"));
    recorderThread.start();

    LoadVendors();
    StartIdentification();
    LoadComments();
    SetupHostColumns();
    RefreshNetworks();
    lastRefresh = CurrentTime();
    timerId = startTimer(HeartbeatMs);
}

TrelvanWindow::~TrelvanWindow()
{
    // A scan still running would write into this window after its members
    // are gone: let it start no more probes, and wait for those running (they
    // give up within a few seconds) before anything is destroyed.
    if (checker)
        checker->Stop();
    // The history's dialog uses this window's store and comments, and may
    // wait for a wake under way.
    delete historyDialog.data();
    // A comment still being typed is kept as if Return had finished it.
    FinishTypedComment(ui->Hosts_);
    HarvestComments();
    SaveComments();
    if (checker) {
        checker->wait();
        delete checker;
        checker = nullptr;
    }
    // A record under way finishes (a locked file gives up within seconds);
    // then the recorder and its store's connection go in their own thread,
    // which made them, before it ends: a connection left to the end of the
    // process would be closed from another thread after this one is gone.
    QMetaObject::invokeMethod(
        recorder, [doomed = recorder] { delete doomed; }, Qt::BlockingQueuedConnection);
    recorder = nullptr;
    recorderThread.quit();
    recorderThread.wait();
    // The table outlives this object's own part of the destruction; it must
    // not call back into it.
    disconnect(ui->Hosts_, nullptr, this, nullptr);
    delete ui;
}

void TrelvanWindow::SetClock(Clock clock)
{
    installedClock.store(clock);
}

void TrelvanWindow::SetNotifier(Notifier *notifier)
{
    installedNotifier = notifier;
}

void TrelvanWindow::SetPendingStatus(const QString &text)
{
    QMutexLocker locker(&mutex);
    pendingStatus = text;
}

void TrelvanWindow::PublishHosts(const HostMap &hosts)
{
    QMutexLocker locker(&mutex);
    latestHosts = hosts;
    latestAttached = false;
    scannedHosts = hosts;
    scannedAt = presence::Now();
    scanUnrecorded = true;
}

void TrelvanWindow::on_Networks__currentIndexChanged(int index)
{
    if (index < 0 || refreshingNetworks)
        return;
    CheckSelectedNetwork();
}

void TrelvanWindow::on_About__clicked()
{
    const QString text = tr("\"Trelvan\" version %0.%1.%2\n"
                            "Écrit par %3\n"
                            "Publié en 2026\n"
                            "\n"
                            "%4")
                             .arg(TRELVAN_VERSION_MAJOR, 0, 10)
                             .arg(TRELVAN_VERSION_MINOR, 0, 10)
                             .arg(TRELVAN_VERSION_PATCH, 0, 10)
                             .arg(OrganizationName(), 0)
                             .arg(QStringLiteral(TRELVAN_HOME_PAGE), 0);
    QMessageBox::about(this, tr("A propos de..."), text);
}

void TrelvanWindow::on_Close__clicked()
{
    killTimer(timerId);
    close();
    QCoreApplication::quit();
}

void TrelvanWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timerId)
        return;

    if (checker && checker->isFinished()) {
        delete checker;
        checker = nullptr;
    }

    QMutexLocker locker(&mutex);
    if (!pendingStatus.isEmpty()) {
        scanStatus = pendingStatus;
        if (OfferStatus(StatusOffer::Scan, pendingStatus)) {
            qCDebug(lcWindow).noquote() << "status:" << pendingStatus;
            repaint();
        }
        pendingStatus.clear();
    }
    if (!latestHosts.empty()) {
        if (!latestAttached) // once a scan: the hosts stay until the next
            identification->Attach(scannedNetwork, latestHosts);
        latestAttached = true;
        RebuildHosts();
    }
    if (scanUnrecorded)
        RecordScan();
    if (ForgetOldNewcomers())
        ShowFirstSeen();

    const QTime now = CurrentTime();
    if (RefreshDue(now)) {
        lastRefresh = now;
        if (ui->Networks_->view()->isVisible())
            CheckSelectedNetwork();
        else
            RefreshNetworks();
        // Comments that could not be saved are tried again until they are.
        if (!unsavedStatus.isEmpty()) {
            HarvestComments();
            SaveComments();
        }
    }
}

bool TrelvanWindow::RefreshDue(const QTime &now) const
{
    const int elapsed = lastRefresh.secsTo(now);
    // A negative difference means the clock has crossed midnight since the
    // last refresh: refresh then too, or none would come until the same time
    // of day came round again.
    return elapsed >= RescanPeriodSecs || elapsed < 0;
}

void TrelvanWindow::RefreshNetworks()
{
    QComboBox *picker = ui->Networks_;
    refreshingNetworks = true;
    const int previousIndex = picker->currentIndex();
    const QString previousText = previousIndex >= 0 ? picker->itemText(previousIndex) : QString();

    picker->setCurrentIndex(-1);
    picker->clear();
    networks = ScannableNetworks();
    QStringList entries;
    for (const NetworkAddress &entry : std::as_const(networks)) {
        entries.append(entry.EntryText());
        picker->addItem(entries.back(), QVariant::fromValue<Ipv4Network>(entry));
    }
    picker->setCurrentIndex(-1);
    refreshingNetworks = false;

    int index = 0;
    if (previousIndex >= 0) {
        index = picker->findText(previousText);
        if (index < 0)
            index = 0;
    }
    picker->setCurrentIndex(index);
    qCDebug(lcWindow).noquote() << "networks:" << entries.join(QStringLiteral(", "))
                                << "chosen:" << picker->currentText();
}

void TrelvanWindow::RebuildHosts()
{
    QMutexLocker locker(&mutex);
    QTableWidget *table = ui->Hosts_;

    KeepKnownNames(latestHosts, shownHosts);
    if (latestHosts != shownHosts || identitiesChanged) {
        identitiesChanged = false;
        qCDebug(lcWindow) << "Machines=" << static_cast<uint>(latestHosts.size());
        // What the user is typing is stored as a finished comment first (the
        // table reports it as an edit), and typed on after the rebuild.
        const TypedComment typed = FinishTypedComment(table);
        HarvestComments();

        // Filling the table must not look like the user editing comments.
        const QSignalBlocker blocker(table);
        table->clear();
        const QList<QAbstractButton *> buttons = webButtons.buttons();
        for (QAbstractButton *button : buttons)
            webButtons.removeButton(button);
        SetupHostColumns();
        table->setSortingEnabled(false);

        shownHosts = latestHosts;
        latestHosts.clear();

        table->setRowCount(static_cast<int>(shownHosts.size()));
        FillHostRows(table, MakeHostRows(shownHosts, comments, makerIndex), !vendorTable.empty(),
                     webButtons);
        ShowFirstSeen();
        ResumeTypedComment(table, typed);
    } else {
        RefreshHostNames();
    }

    FitHostColumns(table);
}

void TrelvanWindow::RefreshHostNames()
{
    // The same hosts as on display, one row each in address order; only a
    // name or what the device is may differ, and it changes its row's
    // tooltips, hint and icon in place. A new hint is no comment typed:
    // nothing to harvest or save.
    const QSignalBlocker blocker(ui->Hosts_);
    int row = 0;
    for (const quint32 key : KeysInAddressOrder(shownHosts)) {
        HostRecord &shown = shownHosts.at(key);
        const HostRecord &latest = latestHosts.at(key);
        const bool identified = !ShownAlike(shown.identity, latest.identity);
        if (identified || shown.name != latest.name || shown.names != latest.names ||
            shown.ipv6 != latest.ipv6) {
            shown.name = latest.name;
            shown.names = latest.names;
            shown.identity = latest.identity;
            shown.ipv6 = latest.ipv6;
            ShowHostName(ui->Hosts_, row, shown.name, shown.identity.friendlyName, shown.ipv6);
            if (identified)
                ShowHostType(ui->Hosts_, row, shown.identity);
        }
        ++row;
    }
}

void TrelvanWindow::CheckSelectedNetwork()
{
    const int index = ui->Networks_->currentIndex();
    if (index < 0)
        return;
    // The entry's network rides with it; its text is only shown.
    const Ipv4Network chosen = ui->Networks_->itemData(index).value<Ipv4Network>();
    // The scan walks IPv4 numbers only: anything else would be read as
    // 0.0.0.0 and walk the whole address space.
    if (!chosen.IsIpv4())
        return;
    const QHostAddress &address = chosen.ip;
    const QHostAddress &netmask = chosen.netmask;
    // A wider network would take millions of probes and hours: it is
    // refused, and the refusal stays on the status line until another entry
    // is chosen.
    if (TooWideToScan(netmask)) {
        refusedStatus = tr("Réseau trop grand : %0 / %1 compte %2 adresses (65 536 au plus).")
                            .arg(address.toString(), netmask.toString(),
                                 QLocale(QLocale::French).toString(AddressCount(netmask)));
        OfferStatus(StatusOffer::Refusal, refusedStatus);
        return;
    }
    refusedStatus.clear();
    StartChecker(address, netmask);
}

void TrelvanWindow::StartChecker(const QHostAddress &address, const QHostAddress &netmask)
{
    if (checker)
        return;
    scannedNetwork = Ipv4Network{address, netmask, QString(), 0};
    for (const NetworkAddress &entry : std::as_const(networks))
        if (entry.ip == address && entry.netmask == netmask) {
            scannedNetwork.interfaceName = entry.interfaceName;
            break;
        }
    // The gateway as the scan begins, for the presence rule.
    scannedNetwork.gateway =
        GatewayOf(address.toIPv4Address(), netmask.toIPv4Address(), scannedNetwork.interfaceName);
    checker = new CheckThread(this, address, netmask);
    checker->start(QThread::InheritPriority);
}
