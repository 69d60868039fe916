#include "presence/recorder.h"

namespace presence {

Recorder::Recorder(const QString &file) : fileName(file) {}

Recorder::~Recorder() = default;

void Recorder::Record(const ScanResult &scan)
{
    if (!store)
        store = std::make_unique<Store>(fileName);
    const ScanChanges changes = store->Record(scan);
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

} // namespace presence
