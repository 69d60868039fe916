#include "presence/recorder.h"

namespace presence {

Recorder::Recorder(const QString &file, StoreOptions options)
    : fileName(file), storeOptions(std::move(options))
{
}

Recorder::~Recorder() = default;

Store &Recorder::Opened()
{
    if (!store)
        store = std::make_unique<Store>(fileName, storeOptions);
    return *store;
}

void Recorder::Record(const ScanResult &scan)
{
    const ScanChanges changes = Opened().Record(scan);
    emit Recorded(changes);
    if (!changes.known)
        return; // which network it was is not known
    const bool sameNetwork = lastNetwork && *lastNetwork == changes.network;
    lastNetwork = changes.network;
    if (sameNetwork && changes.changes.empty())
        return;
    std::vector<Device> devices = store->Devices(changes.network);
    if (devices.empty() && !store->Status().isEmpty())
        return; // the times known so far stay
    emit DevicesRead(changes.network, devices);
}

ScanChanges Recorder::Take(const ScanResult &scan)
{
    ScanChanges recorded = Opened().Record(scan);
    const QString cidr = scan.network.Cidr();
    round.insert(cidr);
    if (recorded.known)
        takenNetworks[cidr] = recorded.network;
    if (!begun.insert(cidr).second)
        return recorded;
    // Who is there when the recording begins, unless a change says more.
    // Those the flood bound kept out are shown by no change.
    std::set<Mac> told;
    for (const Change &change : recorded.changes)
        told.insert(change.record.mac);
    const std::set<quint32> unrecorded(recorded.unrecorded.begin(), recorded.unrecorded.end());
    std::vector<Change> changes;
    for (const quint32 key : KeysInAddressOrder(scan.hosts))
        if (!told.count(scan.hosts.at(key).mac) && !unrecorded.count(key)) {
            Change change;
            change.kind = ChangeKind::Arrived;
            change.time = scan.time;
            change.key = key;
            change.record = scan.hosts.at(key);
            changes.push_back(std::move(change));
        }
    changes.insert(changes.end(), recorded.changes.begin(), recorded.changes.end());
    recorded.changes = std::move(changes);
    return recorded;
}

std::vector<Device> Recorder::Devices(const NetworkKey &network)
{
    return Opened().Devices(network);
}

CardIdentities Recorder::Identities()
{
    return Opened().Identities();
}

void Recorder::SaveIdentities(const CardIdentities &identities)
{
    Opened().SaveIdentities(identities);
}

void Recorder::ReadIdentities()
{
    emit IdentitiesRead(Identities());
}

std::vector<Unwatched> Recorder::EndRound()
{
    std::vector<Unwatched> gone;
    for (auto it = takenNetworks.begin(); it != takenNetworks.end();) {
        if (round.count(it->first)) {
            ++it;
            continue;
        }
        std::vector<Device> devices = Opened().Devices(it->second);
        for (Device &device : devices)
            device.present = false;
        gone.push_back({it->first, it->second, std::move(devices)});
        it = takenNetworks.erase(it);
    }
    round.clear();
    return gone;
}

} // namespace presence
