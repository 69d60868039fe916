// The window's part of the presence history: each finished scan recorded,
// what it changed told (notices, status lines, the newcomers' marks), and
// the history's dialog.
#include "app/trelvanwindow.h"

#include "app/historydialog.h"
#include "app/notifier.h"
#include "app/trelvanwindowui.h"
#include "app/windowlog.h"
#include "presence/cardlink.h"
#include "presence/clock.h"
#include "presence/recorder.h"
#include "results/hostrow.h"
#include "results/hoststable.h"

#include <QComboBox>
#include <QDebug>
#include <QLabel>
#include <QMutexLocker>
#include <QSignalBlocker>
#include <QTableWidget>

#include <algorithm>
#include <set>

namespace {

// How long a card that joined the network stays marked in the table, and
// how often the window tells of a flood of unknown cards on one network.
constexpr qint64 NewcomerMs = 60 * 1000;
constexpr qint64 FloodNoticeMs = 60 * 60 * 1000;

} // namespace

void TrelvanWindow::RecordScan()
{
    // Called by the heartbeat, mutex held. A result published with no scan
    // started (none of a network) has no history.
    QMutexLocker locker(&mutex);
    scanUnrecorded = false;
    if (scannedNetwork.ip.isNull())
        return;
    presence::ScanResult scan;
    scan.network = scannedNetwork;
    scan.hosts = scannedHosts;
    scan.time = scannedAt;
    // What each card is known to be, so that a new one's notice names it.
    identification->Attach(scannedNetwork, scan.hosts);
    // After its table: what the devices say comes on a later tick.
    identification->Scanned(scannedNetwork, scannedHosts);
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
    CommentsFollowDevices(recorded.changes);
    NotifyChanges(recorded);
    if (historyDialog)
        historyDialog->Reload();
}

void TrelvanWindow::CommentsFollowDevices(const std::vector<presence::Change> &changes)
{
    // What the user typed is taken first; the rows of a linked card then
    // show its device's comment, which the store keeps under its MAC too.
    if (std::none_of(changes.begin(), changes.end(), [](const presence::Change &change) {
            return change.kind == presence::ChangeKind::CardLinked;
        }))
        return;
    HarvestComments();
    if (!presence::CommentsFollow(changes, comments))
        return;
    QTableWidget *table = ui->Hosts_;
    const QSignalBlocker blocker(table);
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *mac = table->item(row, MacColumn);
        QTableWidgetItem *comment = table->item(row, CommentColumn);
        const auto found = mac ? comments.find(mac->text()) : comments.end();
        if (comment && found != comments.end() && comment->text() != found->second)
            comment->setText(found->second);
    }
    SaveComments();
}

void TrelvanWindow::NotifyChanges(const presence::ScanChanges &recorded)
{
    const QString &cidr = recorded.network.cidr;
    const std::set<quint32> unrecorded(recorded.unrecorded.begin(), recorded.unrecorded.end());
    std::map<quint32, HostRow> newRows; // in address order below
    std::vector<Notice> gateway, flood; // before the new cards' notice
    for (const presence::Change &change : recorded.changes) {
        switch (change.kind) {
        case presence::ChangeKind::Flood: {
            ShowStatusOnce(tr("%1 appareils inconnus ignorés sur %2")
                               .arg(QString::number(change.count), cidr));
            const auto last = floodNoticeAt.find(cidr);
            if (last == floodNoticeAt.end() || change.time - last->second >= FloodNoticeMs ||
                change.time < last->second) {
                floodNoticeAt[cidr] = change.time;
                flood.push_back(FloodNotice(change.count, cidr));
            }
            break;
        }
        case presence::ChangeKind::Conflict:
            ShowStatusOnce(tr("Conflit d'adresse\u00a0: %1 revendiquée par %2 et %3")
                               .arg(AddressText(change.key), MacToText(change.record.mac),
                                    MacToText(change.previousMac)));
            break;
        case presence::ChangeKind::GatewayChanged:
            gateway.push_back(GatewayChangedNotice(cidr, MacToText(change.record.mac),
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
    std::vector<Notice> notices = std::move(gateway);
    notices.insert(notices.end(), flood.begin(), flood.end());
    for (Notice &notice : NewDevicesNotices(rows, cidr))
        notices.push_back(std::move(notice));
    if (const std::optional<Notice> notice = OneNotice(notices))
        notifier->Notify(*notice);
    if (!rows.empty())
        ShowFirstSeen();
}

void TrelvanWindow::ShowStatusOnce(const QString &status)
{
    qCWarning(lcWindow).noquote() << status;
    OfferStatus(StatusOffer::Notice, status);
}

void TrelvanWindow::ShowHistoryStatus(const QString &status)
{
    if (status == historyStatus)
        return;
    historyStatus = status;
    if (!status.isEmpty())
        qCWarning(lcWindow).noquote() << status;
    OfferStatus(StatusOffer::History, status);
}

bool TrelvanWindow::OfferStatus(StatusOffer offer, const QString &line)
{
    const std::optional<QString> shown =
        StatusLineFor({refusedStatus, unsavedStatus, historyStatus, scanStatus}, offer, line);
    if (shown)
        ui->Status_->setText(*shown);
    return shown.has_value();
}

void TrelvanWindow::LoadFirstSeen(const presence::NetworkKey &network,
                                  const std::vector<presence::Device> &devices)
{
    // Read by the recorder after a scan of another network or one that
    // changed something.
    if (historyNetwork && !(*historyNetwork == network))
        return; // an older record's, another network's since
    firstSeen.clear();
    linkedCards.clear();
    deviceCards.clear();
    for (const presence::Device &device : devices) {
        firstSeen[MacToText(device.record.mac)] = device.firstSeen;
        if (device.macs.size() > 1) {
            QStringList &cards = deviceCards[MacToText(device.record.mac)];
            for (const presence::Mac &mac : device.macs)
                cards.append(MacToText(mac));
        }
        // A private card of a device known by another card first.
        const auto [kind, name] = presence::StrongName(device.record);
        if (device.macs.size() > 1 && device.device != device.record.mac && !kind.isEmpty() &&
            presence::PrivateMac(device.record.mac))
            linkedCards[MacToText(device.record.mac)] =
                tr("Adresse privée, reliée à cet appareil (même nom %0 « %1 »)")
                    .arg(presence::SignalKindText(kind), name);
    }
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
    for (const auto &[mac, linked] : linkedCards) {
        QString &tip = tips[mac];
        tip = tip.isEmpty() ? linked : linked + QLatin1Char('\n') + tip;
    }
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
    connect(historyDialog, &HistoryDialog::CardsLinked, this,
            &TrelvanWindow::CommentsFollowDevices);
    connect(historyDialog, &HistoryDialog::DevicesShown, this, &TrelvanWindow::LoadFirstSeen);
    historyDialog->show();
}
