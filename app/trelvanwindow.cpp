#include "app/trelvanwindow.h"

#include "app/historydialog.h"
#include "app/notifier.h"
#include "app/trelvanwindowui.h"
#include "network/gateways.h"
#include "network/networklist.h"
#include "presence/clock.h"
#include "presence/recorder.h"
#include "results/comments.h"
#include "results/commentslog.h"
#include "results/hostrow.h"
#include "results/hoststable.h"
#include "scan/checkthread.h"
#include "scan/scanrules.h"
#include "trelvanversion.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QMutexLocker>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimerEvent>
#include <QUrl>
#include <QWindow>

#include <atomic>

namespace {

constexpr int HeartbeatMs = 250;

// What the window shows, for whoever cannot look at it (a test, a remote
// session): the status lines, the picker's entries, the rebuilds' host counts
// and the clicked links. The program turns it off (main.cpp).
Q_LOGGING_CATEGORY(lcWindow, "trelvan.window")

std::atomic<TrelvanWindow::Clock> installedClock{nullptr};
Notifier *installedNotifier = nullptr; // the GUI thread's only

// How long start-up waits for the window system to put the window on the
// screen before it goes on loading.
constexpr int ExposeWaitMs = 200;

// How long a card that joined the network stays marked in the table, and
// how often the window tells of a flood of unknown cards on one network.
constexpr qint64 NewcomerMs = 60 * 1000;
constexpr qint64 FloodNoticeMs = 60 * 60 * 1000;

// Why the comments could not be saved, in the status line's words.
QString SaveFaultText(SaveFault fault)
{
    switch (fault) {
    case SaveFault::DiskFull:
        return TrelvanWindow::tr("disque plein");
    case SaveFault::QuotaExceeded:
        return TrelvanWindow::tr("quota dépassé");
    case SaveFault::ReadOnly:
        return TrelvanWindow::tr("disque en lecture seule");
    case SaveFault::AccessDenied:
        return TrelvanWindow::tr("accès refusé");
    case SaveFault::Locked:
        return TrelvanWindow::tr("fichier verrouillé par un autre programme");
    case SaveFault::None:
    case SaveFault::Other:
        break;
    }
    return TrelvanWindow::tr("erreur d'écriture");
}

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
    connect(&recorderThread, &QThread::finished, recorder, &QObject::deleteLater);
    connect(recorder, &presence::Recorder::Recorded, this, &TrelvanWindow::RecordFinished);
    connect(recorder, &presence::Recorder::DevicesRead, this, &TrelvanWindow::LoadFirstSeen);
    recorderThread.setObjectName(QStringLiteral("presence recorder"));
    recorderThread.start();

    LoadVendors();
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
    // the recorder and its store go with their thread.
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
                             .arg(QStringLiteral("Dantrix"), 0)
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
        if (refusedStatus.isEmpty() && unsavedStatus.isEmpty() && historyStatus.isEmpty()) {
            ui->Status_->setText(pendingStatus);
            qCDebug(lcWindow).noquote() << "status:" << pendingStatus;
            repaint();
        }
        pendingStatus.clear();
    }
    if (!latestHosts.empty())
        RebuildHosts();
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

void TrelvanWindow::OnURL(QAbstractButton *button)
{
    OpenPage(button->objectName());
}

void TrelvanWindow::OpenPage(const QString &url)
{
    qCDebug(lcWindow).noquote() << url;
    QDesktopServices::openUrl(QUrl(url));
}

void TrelvanWindow::ShowRowMenu(const QPoint &position)
{
    // By the mouse, the row under it; by the keyboard, Qt puts the point on
    // the current cell.
    QTableWidget *table = ui->Hosts_;
    int row = table->rowAt(position.y());
    if (row < 0)
        row = table->currentRow();
    const QTableWidgetItem *address = row >= 0 ? table->item(row, AddressColumn) : nullptr;
    const QTableWidgetItem *mac = row >= 0 ? table->item(row, MacColumn) : nullptr;
    if (!address || !mac)
        return;
    // The heartbeat goes on while the menu is open and may rebuild the
    // table: what the actions need is read now.
    const QString addressText = address->text();
    const QString macText = mac->text();
    const auto *button = qobject_cast<const QAbstractButton *>(table->cellWidget(row, WebColumn));
    const QString page = button ? button->objectName() : QString();

    QMenu menu(this);
    menu.setObjectName(QStringLiteral("RowMenu_"));
    const QAction *copyAddress = menu.addAction(tr("Copier l'adresse IP"));
    const QAction *copyMac = menu.addAction(tr("Copier l'adresse MAC"));
    const QAction *open = page.isEmpty() ? nullptr : menu.addAction(tr("Ouvrir la page"));
    const QAction *showHistory = menu.addAction(tr("Historique de l'appareil…"));
    const QAction *chosen = menu.exec(table->viewport()->mapToGlobal(position));
    if (!chosen)
        return;
    if (chosen == copyAddress)
        QGuiApplication::clipboard()->setText(addressText);
    else if (chosen == copyMac)
        QGuiApplication::clipboard()->setText(macText);
    else if (chosen == open)
        OpenPage(page);
    else if (chosen == showHistory) {
        on_History__clicked();
        if (historyDialog)
            historyDialog->SelectDevice(macText);
    }
}

void TrelvanWindow::LoadVendors()
{
    LoadMakers(vendorTable, makerIndex);
}

void TrelvanWindow::LoadComments()
{
    ::LoadComments(comments);
}

void TrelvanWindow::HarvestComments(int editedRow)
{
    ::HarvestComments(ui->Hosts_, comments, editedRow);
}

void TrelvanWindow::SaveComments()
{
    // A failed save left the store's file as it was; the comments stay here
    // and the status line says so until a save succeeds.
    const CommentSave save = ::SaveComments(comments);
    const QString fileName = QDir::toNativeSeparators(save.fileName);
    if (!save.saved()) {
        qCWarning(lcComments).noquote()
            << QStringLiteral("Commentaires non enregistrés dans %0 : %1")
                   .arg(fileName, save.detail);
        unsavedStatus =
            tr("Commentaires non enregistrés dans %0 : %1 (nouvel essai toutes les %2 s).")
                .arg(fileName, SaveFaultText(save.fault), QString::number(RescanPeriodSecs));
        ui->Status_->setText(unsavedStatus);
    } else if (!unsavedStatus.isEmpty()) {
        unsavedStatus.clear();
        ui->Status_->setText(!refusedStatus.isEmpty() ? refusedStatus
                             : !historyStatus.isEmpty()
                                 ? historyStatus
                                 : tr("Commentaires enregistrés dans %0.").arg(fileName));
    }
}

void TrelvanWindow::OnHostItemChanged(QTableWidgetItem *item)
{
    // A comment the user has just finished typing goes to the store at once,
    // so that it survives an exit that never reaches the destructor.
    if (item->column() != CommentColumn)
        return;
    // The row edited wins over the other rows of its card, which show it
    // from now on.
    HarvestComments(item->row());
    {
        const QSignalBlocker blocker(ui->Hosts_);
        ShareComment(ui->Hosts_, item->row());
    }
    SaveComments();
}

void TrelvanWindow::SetupHostColumns()
{
    ::SetupHostColumns(ui->Hosts_);
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
    if (latestHosts != shownHosts) {
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
    // name may differ, and it changes its row's tooltip and hint in place.
    // A new hint is no comment typed: nothing to harvest or save.
    const QSignalBlocker blocker(ui->Hosts_);
    int row = 0;
    for (const quint32 key : KeysInAddressOrder(shownHosts)) {
        HostRecord &shown = shownHosts.at(key);
        const HostRecord &latest = latestHosts.at(key);
        if (shown.name != latest.name || shown.names != latest.names) {
            shown.name = latest.name;
            shown.names = latest.names;
            ShowHostName(ui->Hosts_, row, shown.name);
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
        ui->Status_->setText(refusedStatus);
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

void TrelvanWindow::RecordScan()
{
    // Called by the heartbeat, mutex held. A result published with no scan
    // started (none of a network) has no history.
    QMutexLocker locker(&mutex);
    scanUnrecorded = false;
    if (scannedNetwork.ip.isNull())
        return;
    presence::ScanResult scan;
    scan.address = scannedNetwork.ip;
    scan.netmask = scannedNetwork.netmask;
    scan.interfaceName = scannedNetwork.interfaceName;
    scan.gateway = scannedNetwork.gateway;
    scan.hosts = scannedHosts;
    scan.time = scannedAt;
    // One record at a time: a scan finished while the recorder still works
    // waits, and a later one takes its place, so that a slow file never
    // piles scans up.
    if (recording) {
        waitingScan = std::move(scan);
        return;
    }
    recording = true;
    QMetaObject::invokeMethod(
        recorder, [target = recorder, scan] { target->Record(scan); }, Qt::QueuedConnection);
}

void TrelvanWindow::RecordFinished(const presence::ScanChanges &recorded)
{
    recording = false;
    if (waitingScan) {
        recording = true;
        QMetaObject::invokeMethod(
            recorder, [target = recorder, scan = *waitingScan] { target->Record(scan); },
            Qt::QueuedConnection);
        waitingScan.reset();
    }
    // A store that cannot be written keeps the changes in memory and says
    // so; the scans and the comments go on as ever.
    QString status = recorded.status;
    if (!status.isEmpty() && !recorded.written)
        status += tr(" (nouvel essai à chaque recherche).");
    ShowHistoryStatus(status);
    if (!recorded.known)
        return; // its gateway did not answer: which network it was is not known
    historyNetwork = recorded.network;
    NotifyChanges(recorded);
    if (historyDialog)
        historyDialog->Reload();
}

void TrelvanWindow::NotifyChanges(const presence::ScanChanges &recorded)
{
    const QString &cidr = recorded.network.cidr;
    const std::set<quint32> unrecorded(recorded.unrecorded.begin(), recorded.unrecorded.end());
    std::map<quint32, HostRow> newRows; // in address order below
    for (const presence::Change &change : recorded.changes) {
        switch (change.kind) {
        case presence::ChangeKind::Flood: {
            ShowStatusOnce(tr("%1 appareils inconnus ignorés sur %2")
                               .arg(QString::number(change.count), cidr));
            const auto last = floodNoticeAt.find(cidr);
            if (last == floodNoticeAt.end() || change.time - last->second >= FloodNoticeMs ||
                change.time < last->second) {
                floodNoticeAt[cidr] = change.time;
                notifier->Notify(FloodNotice(change.count, cidr));
            }
            break;
        }
        case presence::ChangeKind::Conflict:
            ShowStatusOnce(tr("Conflit d'adresse\u00a0: %1 revendiquée par %2 et %3")
                               .arg(AddressText(change.key), MacToText(change.record.mac),
                                    MacToText(change.previousMac)));
            break;
        case presence::ChangeKind::GatewayChanged:
            notifier->Notify(GatewayChangedNotice(cidr, MacToText(change.record.mac),
                                                  MacToText(change.previousMac)));
            break;
        default:
            if (change.newDevice && !unrecorded.count(change.key)) {
                newRows[HostOrderAddress(change.key)] =
                    MakeHostRow(change.key, change.record, comments, makerIndex);
                newcomers[MacToText(change.record.mac)] = change.time;
            }
            break;
        }
    }
    std::vector<HostRow> rows;
    for (auto &[address, row] : newRows)
        rows.push_back(std::move(row));
    for (const Notice &notice : NewDevicesNotices(rows, cidr))
        notifier->Notify(notice);
    if (!rows.empty())
        ShowFirstSeen();
}

void TrelvanWindow::ShowStatusOnce(const QString &status)
{
    qCWarning(lcWindow).noquote() << status;
    if (refusedStatus.isEmpty() && unsavedStatus.isEmpty() && historyStatus.isEmpty())
        ui->Status_->setText(status);
}

void TrelvanWindow::ShowHistoryStatus(const QString &status)
{
    if (status == historyStatus)
        return;
    historyStatus = status;
    if (!status.isEmpty())
        qCWarning(lcWindow).noquote() << status;
    if (refusedStatus.isEmpty() && unsavedStatus.isEmpty())
        ui->Status_->setText(status.isEmpty() ? scanStatus : status);
}

void TrelvanWindow::LoadFirstSeen(const presence::NetworkKey &network,
                                  const std::vector<presence::Device> &devices)
{
    // Read by the recorder after a scan of another network or one that
    // changed something.
    if (historyNetwork && !(*historyNetwork == network))
        return; // an older record's, another network's since
    firstSeen.clear();
    for (const presence::Device &device : devices)
        firstSeen[MacToText(device.record.mac)] = device.firstSeen;
    ShowFirstSeen();
}

bool TrelvanWindow::ForgetOldNewcomers()
{
    const qint64 now = presence::Now();
    bool forgot = false;
    for (auto newcomer = newcomers.begin(); newcomer != newcomers.end();) {
        if (now - newcomer->second >= NewcomerMs || now < newcomer->second) {
            newcomer = newcomers.erase(newcomer);
            forgot = true;
        } else {
            ++newcomer;
        }
    }
    return forgot;
}

void TrelvanWindow::ShowFirstSeen()
{
    ForgetOldNewcomers();
    std::map<QString, QString> tips;
    for (const auto &[mac, time] : firstSeen)
        tips[mac] = tr("Vu pour la première fois le %0").arg(SeenText(time));
    std::set<QString> marked;
    for (const auto &[mac, time] : newcomers) {
        marked.insert(mac);
        QString &tip = tips[mac];
        tip = tip.isEmpty() ? tr("Nouvel appareil") : tr("Nouvel appareil\n%0").arg(tip);
    }
    const QSignalBlocker blocker(ui->Hosts_);
    ShowMacToolTips(ui->Hosts_, tips);
    MarkNewHosts(ui->Hosts_, marked);
}

std::optional<presence::NetworkKey> TrelvanWindow::ChosenHistoryNetwork()
{
    const int index = ui->Networks_->currentIndex();
    if (index < 0 || index >= networks.size())
        return historyNetwork;
    const NetworkAddress &chosen = networks.at(index);
    const QString cidr = chosen.Cidr();
    if (historyNetwork && historyNetwork->cidr == cidr)
        return historyNetwork;
    return history.LatestNetwork(cidr);
}

void TrelvanWindow::on_History__clicked()
{
    if (historyDialog) {
        historyDialog->raise();
        historyDialog->activateWindow();
        return;
    }
    HostPlace place;
    if (const int index = ui->Networks_->currentIndex(); index >= 0 && index < networks.size()) {
        const NetworkAddress &chosen = networks.at(index);
        place = {chosen.Cidr(), chosen.interfaceName};
    }
    historyDialog =
        new HistoryDialog(history, ChosenHistoryNetwork(), place, comments, makerIndex, this);
    historyDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(historyDialog, &HistoryDialog::StatusLine, this, &TrelvanWindow::SetPendingStatus);
    historyDialog->show();
}
