#pragma once

#include "app/statusline.h"
#include "makers/makerlookup.h"
#include "makers/vendortable.h"
#include "network/networklist.h"
#include "presence/store.h"
#include "results/hoststable.h"
#include "scan/hostrecord.h"
#include "scan/identification.h"
#include "scan/scanreceiver.h"

#include <QButtonGroup>
#include <QDialog>
#include <QHostAddress>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTime>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class CheckThread;
class HistoryDialog;
class Notifier;
namespace presence {
class Recorder;
}
class QAbstractButton;
class QTableWidgetItem;
class QTimerEvent;
struct TrelvanWindowUi;

// The program's only window. It owns everything that outlives one scan and
// moves the scans' results to the screen on a 250 ms heartbeat.
class TrelvanWindow : public QDialog, public ScanReceiver
{
    Q_OBJECT

public:
    explicit TrelvanWindow(Qt::WindowFlags flags = {});
    ~TrelvanWindow() override;

    // The two hand-overs of a scan coordinator, safe from any thread.
    void SetPendingStatus(const QString &text) override;
    void PublishHosts(const HostMap &hosts) override;

    // Where the heartbeat reads the time of day; tests move the clock here.
    using Clock = QTime (*)();
    static void SetClock(Clock clock);

    // Where the notices of new devices go; nullptr, the desktop's own
    // (DesktopNotifier). Set before a window is built; the notifier must
    // outlive the windows built meanwhile.
    static void SetNotifier(Notifier *notifier);

private slots:
    void on_Networks__currentIndexChanged(int index);
    void on_About__clicked();
    void on_Close__clicked();
    void timerEvent(QTimerEvent *event) override;
    void OnURL(QAbstractButton *button);
    void on_History__clicked();
    void ShowRowMenu(const QPoint &position);

private:
    void LoadVendors();
    void LoadComments();
    void HarvestComments(int editedRow = -1);
    void SaveComments();
    void CommentsFollowDevices(const std::vector<presence::Change> &changes);
    void SetupHostColumns();
    void RefreshNetworks();
    void RebuildHosts();
    void RefreshHostNames();
    void CheckSelectedNetwork();
    void StartChecker(const QHostAddress &address, const QHostAddress &netmask);
    void OnHostItemChanged(QTableWidgetItem *item);
    bool RefreshDue(const QTime &now) const;
    void RecordScan();
    void RecordFinished(const presence::ScanChanges &recorded);
    void NotifyChanges(const presence::ScanChanges &recorded);
    void ShowHistoryStatus(const QString &status);
    void ShowStatusOnce(const QString &status);
    // Puts line on the status line where the lines that hold it let it
    // (StatusLineFor); true when it is shown.
    bool OfferStatus(StatusOffer offer, const QString &line);
    void LoadFirstSeen(const presence::NetworkKey &network,
                       const std::vector<presence::Device> &devices);
    void ShowFirstSeen();
    bool ForgetOldNewcomers();
    void OpenPage(const QString &url);
    void StartIdentification();
    void RememberIdentities(const CardIdentities &known);
    void OnIdentified(const Ipv4Network &network, const CardIdentities &changed);
    // Puts what is known of each card on the rows shown, and shows it.
    void ShowIdentities();
    std::optional<presence::NetworkKey> ChosenHistoryNetwork();

    TrelvanWindowUi *ui;
    int timerId;
    bool refreshingNetworks;
    VendorTable vendorTable;
    MakerIndex makerIndex; // the vendor table's OUIs and the smaller blocks
    QRecursiveMutex mutex;
    HostMap shownHosts;
    HostMap latestHosts;
    CommentMap comments;
    QButtonGroup webButtons;
    CheckThread *checker;
    QString pendingStatus;
    QTime lastRefresh;
    // The status line that refuses the chosen network as too wide; while it
    // is set no other status line replaces it.
    QString refusedStatus;
    // The status line that says the comments could not be saved; while it is
    // set no scan's status line replaces it, and every refresh saves again.
    QString unsavedStatus;

    // The picker's networks, in its order, with their interfaces.
    QList<NetworkAddress> networks;
    // The network the coordinator scans (null address: none yet).
    Ipv4Network scannedNetwork;
    // Under mutex: the last finished scan's answers, when it ended, and
    // whether they still wait to be recorded in the history.
    HostMap scannedHosts;
    qint64 scannedAt = 0;
    bool scanUnrecorded = false;
    // The presence history, which every finished scan goes to; the network
    // of the last scan recorded there, and when each of its cards was first
    // seen (by MAC text).
    presence::Store history;
    std::optional<presence::NetworkKey> historyNetwork;
    std::map<QString, qint64> firstSeen;
    std::map<QString, QString> linkedCards; // MAC text -> why it is its device's
    // The cards of each device of several cards, by the MAC text of each: a
    // comment typed on one is written under all.
    std::map<QString, QStringList> deviceCards;
    // The cards that joined the network within the last minute (by MAC
    // text), with when: their rows are marked.
    std::map<QString, qint64> newcomers;
    // The last Flood notice given, per network (CIDR): one an hour at most.
    std::map<QString, qint64> floodNoticeAt;
    // The scans are recorded off the GUI thread, one at a time: the one
    // under way, and the latest one finished meanwhile, which waits.
    QThread recorderThread;
    presence::Recorder *recorder = nullptr;
    bool recording = false;
    std::optional<presence::ScanResult> waitingScan;
    // The status line that says the history could not be written; while it
    // is set no scan's status line replaces it. The last scan's line, shown
    // again once the history is written.
    QString historyStatus;
    QString scanStatus;
    Notifier *notifier = nullptr;
    std::unique_ptr<Notifier> desktopNotifier;
    QPointer<HistoryDialog> historyDialog;
    // What the devices of the scanned network say they are: asked after a
    // scan when due (never before its table), remembered by the recorder.
    std::unique_ptr<Identification> identification;
    // The rows shown must be made again: an identity changed. Under mutex,
    // whether latestHosts carry their identities.
    bool identitiesChanged = false;
    bool latestAttached = false;

    friend class WindowInspector; // tests read the window's state through it
};
