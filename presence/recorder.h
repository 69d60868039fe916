#pragma once

#include "presence/store.h"

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace presence {

// A network recorded before and not scanned since: nobody is known to be
// there any more.
struct Unwatched
{
    QString cidr;
    NetworkKey network;
    std::vector<Device> devices; // every one absent
};

// Records finished scans in the presence history. It opens its own Store at
// the first scan (a Store belongs to the thread that made it) and closes it
// when deleted. The window, which must never wait on the file, moves it to
// a thread of its own: scans come by a queued call of Record, the changes
// go back by the queued signal Recorded, in the order of the scans. The
// watch calls Take and EndRound on its own thread.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(const QString &file = Store::DefaultFileName(),
                      StoreOptions options = StoreOptions());
    ~Recorder() override;

    // Records the scan and returns its network's changes, and first, at this
    // recorder's first scan of the network's addresses, who is there: an
    // Arrived change (not New) for each host of the scan that no change
    // tells of and that the flood bound did not keep out.
    ScanChanges Take(const ScanResult &scan);
    // Every device of a network, as Store::Devices.
    std::vector<Device> Devices(const NetworkKey &network);
    // Ends a round of scans: the networks Take recorded in an earlier round
    // and not in this one, which it forgets.
    std::vector<Unwatched> EndRound();
    // Everything learnt of every card, as Store::Identities.
    CardIdentities Identities();

public slots:
    // Records the scan, then says what changed; after a scan of another
    // network than the last one, or one that changed anything, also every
    // device of its network (DevicesRead), unless the file cannot be read.
    void Record(const presence::ScanResult &scan);
    // Keeps what an identification round learnt (Store::SaveIdentities);
    // also called directly where the recorder is the caller's own.
    void SaveIdentities(const CardIdentities &identities);
    // Reads everything learnt of every card, then IdentitiesRead.
    void ReadIdentities();

signals:
    void Recorded(const presence::ScanChanges &changes);
    void DevicesRead(const presence::NetworkKey &network,
                     const std::vector<presence::Device> &devices);
    void IdentitiesRead(const CardIdentities &identities);

private:
    Store &Opened();

    QString fileName;
    StoreOptions storeOptions;
    std::unique_ptr<Store> store;
    std::optional<NetworkKey> lastNetwork;
    std::set<QString> begun;                     // the addresses whose first scan Take told
    std::map<QString, NetworkKey> takenNetworks; // by address: the network Take recorded last
    std::set<QString> round;                     // the addresses Take saw in this round
};

} // namespace presence
