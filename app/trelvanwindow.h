#pragma once

#include "makers/makerlookup.h"
#include "makers/vendortable.h"
#include "results/hoststable.h"
#include "scan/hostrecord.h"
#include "scan/scanreceiver.h"

#include <QButtonGroup>
#include <QDialog>
#include <QHostAddress>
#include <QMutex>
#include <QString>
#include <QTime>

class CheckThread;
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

private slots:
    void on_Networks__currentIndexChanged(int index);
    void on_About__clicked();
    void on_Close__clicked();
    void timerEvent(QTimerEvent *event) override;
    void OnURL(QAbstractButton *button);

private:
    void LoadVendors();
    void LoadComments();
    void HarvestComments(int editedRow = -1);
    void SaveComments();
    void SetupHostColumns();
    void RefreshNetworks();
    void RebuildHosts();
    void RefreshHostNames();
    void CheckSelectedNetwork();
    void StartChecker(const QHostAddress &address, const QHostAddress &netmask);
    void OnHostItemChanged(QTableWidgetItem *item);
    bool RefreshDue(const QTime &now) const;

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

    friend class WindowInspector; // tests read the window's state through it
};
