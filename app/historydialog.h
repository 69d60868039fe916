#pragma once

#include "app/presencestrip.h"
#include "makers/makerlookup.h"
#include "presence/store.h"
#include "results/commentstore.h"
#include "results/listwriters.h"

#include <QDialog>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace presence {
struct WakeReport;
}
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QThread;

// "7 décembre 2026 à 22:14" ("1er décembre" on the first): a moment of the
// history in local time, in French whatever the system's language.
QString SeenText(qint64 msecsSinceEpoch);

// "absent depuis 5 min", "absent depuis 2 h", "absent depuis 3 j": how long
// ago a device was last seen (whole minutes, hours, days; a minute at least).
QString AbsentText(qint64 lastSeen, qint64 now);

// What the history holds of one network at one moment, as a reader hands it
// over: the devices in the store's order and the strip of each.
struct HistoryReading
{
    std::vector<presence::Device> devices;
    std::vector<PresenceStrip> strips; // one per device
    qint64 now = 0;
    QString status; // the store's, empty or why it cannot be read
};
Q_DECLARE_METATYPE(HistoryReading)

// Reads a network's history off the GUI thread, with a store of its own
// made and destroyed in its thread; forgets a device, merges two devices and
// splits a card from its device there too.
class HistoryReader : public QObject
{
    Q_OBJECT

public:
    HistoryReader(const QString &fileName, const presence::NetworkKey &network);
    ~HistoryReader() override;

    void Read(qint64 now);
    void Forget(const presence::Mac &mac);
    void Merge(const presence::Mac &device, const presence::Mac &other);
    void Split(const presence::Mac &mac);

signals:
    void Done(const HistoryReading &reading);
    // removed: the device and its changes went; else status says why not.
    void Forgotten(const QString &mac, bool removed, const QString &status);
    // done: other's cards are device's (linked, the changes that said so),
    // or mac a device of its own; else status says why not.
    void Merged(const QString &device, const QString &other, bool done, const QString &status,
                const std::vector<presence::Change> &linked);
    void Separated(const QString &mac, bool done, const QString &status);

private:
    presence::Store &Store();

    QString fileName;
    presence::NetworkKey network;
    std::unique_ptr<presence::Store> store;
};

// Every device the presence history holds for one network, present ones
// first, then the last seen first: the user's comment (read only here), last
// address, MAC, maker, name, type (with its icon) and model, first and last
// seen, and its last seven days as a strip, a row per card. Sorted by a click
// on a column's header, filtered by the text typed above. An absent device
// can be woken; a device can be forgotten, after a question; merged with
// another the user names, its cards then one device's, or a card split from
// its device to be a device of its own; the list can be exported as
// CSV or JSON, the files trelvan-list --historique writes. Not modal: the window goes on beside it.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    // network: the one whose devices are shown; none where the history does
    // not know the chosen network yet; place: its addresses and interface,
    // as the rows and the exported files name them. The dialog reads store's
    // file with a store of its own, off the GUI thread. comments and makers
    // are the window's and must outlive the dialog, which uses them in the
    // GUI thread.
    HistoryDialog(const presence::Store &store, std::optional<presence::NetworkKey> network,
                  const HostPlace &place, const CommentMap &comments, const MakerIndex &makers,
                  QWidget *parent);
    // Waits for a wake under way (at most a second or so), and a little for
    // a read under way, which otherwise ends on its own.
    ~HistoryDialog() override;

    // Reads the devices again (after a scan, a wake or a forget), keeping
    // the chosen device chosen.
    void Reload();

    // Chooses the device of this MAC ("00:1A:2B:3C:4D:5E"), now or once the
    // history is read, and shows its row.
    void SelectDevice(const QString &macText);

signals:
    // What the window's status line should say: what a wake sent.
    void StatusLine(const QString &text);
    // The cards the user linked to a device, as the store recorded them.
    void CardsLinked(const std::vector<presence::Change> &linked);
    // What each read found: the network's devices, each with its cards.
    void DevicesShown(const presence::NetworkKey &network,
                      const std::vector<presence::Device> &devices);

private:
    void Show(const HistoryReading &reading);
    void FitColumns();
    void ApplyFilter();
    void ApplySelection();
    void SortBy(int column, Qt::SortOrder order);
    void ColumnResized(int column);
    void Choose(const QString &macText);
    int RowOf(const QString &macText) const;
    const presence::Device *DeviceOf(const QString &macText) const;
    void Wake(const presence::Device &device);
    void WakeFinished();
    void Forget();
    void Forgotten(const QString &mac, bool removed, const QString &status);
    void Merge();
    void Merged(const QString &device, const QString &other, bool done, const QString &status,
                const std::vector<presence::Change> &linked);
    void Split();
    void Separated(const QString &mac, bool done, const QString &status);
    void Export();
    void ShowStatus(const QString &text);

    std::optional<presence::NetworkKey> network;
    HostPlace place;
    const CommentMap &comments;
    const MakerIndex &makers;
    std::vector<presence::Device> devices; // in the store's order
    std::vector<HistoryRow> rows;          // the same order

    // The device the user chose (MAC text), whatever the rows' order.
    QString chosenMac;
    bool filling = false;       // the table is being filled, not chosen in
    bool fitted = false;        // the dialog has taken its first size
    std::set<int> sizedColumns; // widths the user set, kept
    int sortColumn = -1;        // none: the store's order
    Qt::SortOrder sortOrder = Qt::AscendingOrder;

    QLabel *Network_;
    QLineEdit *Filter_;
    QTableWidget *Devices_;
    QLabel *Status_;
    QPushButton *Forget_;
    QPushButton *Merge_;
    QPushButton *Split_;
    QPushButton *Export_;
    QPushButton *Close_;

    // The reads, off the GUI thread: one at a time, one more asked meanwhile.
    QThread *readerThread = nullptr;
    HistoryReader *reader = nullptr;
    bool reading = false;
    bool readAgain = false;

    // The wake under way, off the GUI thread: the gateway's ARP answer
    // (up to a second) and three datagrams 100 ms apart.
    QThread *waking = nullptr;
    std::shared_ptr<presence::WakeReport> outcome;
};
