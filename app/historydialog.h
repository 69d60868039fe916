#pragma once

#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"
#include "results/listwriters.h"

#include <QDialog>
#include <QString>

#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;
class QThread;

// "7 décembre 2026 à 22:14" ("1er décembre" on the first): a moment of the
// history in local time, in French whatever the system's language.
QString SeenText(qint64 msecsSinceEpoch);

// Every device the presence history holds for one network, present ones
// first, then the last seen first: the user's comment (read only here), last
// address, MAC, maker, name, first and last seen. An absent device can be
// woken; a device can be forgotten, after a question; the list can be
// exported as CSV or JSON, the files trelvan-list --historique writes.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    // network: the one whose devices are shown; none where the history does
    // not know the chosen network yet; place: its addresses and interface,
    // as the rows and the exported files name them. store, comments and
    // makers are the window's and must outlive the dialog, which uses them
    // in the GUI thread.
    HistoryDialog(presence::Store &store, std::optional<presence::NetworkKey> network,
                  const HostPlace &place, const CommentMap &comments, const MakerIndex &makers,
                  QWidget *parent);
    // Waits for a wake under way (at most a second or so).
    ~HistoryDialog() override;

    // Reads the devices again (after a scan, a wake or a forget), keeping
    // the selected device selected.
    void Reload();

    // Selects the device of this MAC text ("00:1A:2B:3C:4D:5E"), if listed.
    void SelectDevice(const QString &macText);

signals:
    // What the window's status line should say: what a wake sent.
    void StatusLine(const QString &text);

private:
    void Wake(const presence::Device &device);
    void WakeFinished();
    void Forget();
    void Export();
    void ShowStatus(const QString &text);

    presence::Store &store;
    std::optional<presence::NetworkKey> network;
    HostPlace place;
    const CommentMap &comments;
    const MakerIndex &makers;
    std::vector<presence::Device> devices; // in the table's row order
    std::vector<HistoryRow> rows;

    QLabel *Network_;
    QTableWidget *Devices_;
    QLabel *Status_;
    QPushButton *Forget_;
    QPushButton *Export_;
    QPushButton *Close_;

    // The wake under way, off the GUI thread: the gateway's ARP answer
    // (up to a second) and three datagrams 100 ms apart.
    struct WakeOutcome;
    QThread *waking = nullptr;
    std::shared_ptr<WakeOutcome> outcome;
};
