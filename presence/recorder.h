#pragma once

#include "presence/store.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace presence {

// Records finished scans in the presence history, for a front end that must
// never wait on the file: it lives on a thread of its own (moveToThread),
// where it opens its own Store at the first scan (a Store belongs to the
// thread that made it) and closes it when deleted there. Scans come by a
// queued call of Record; the changes go back by the queued signal Recorded,
// in the order of the scans.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(const QString &file = Store::DefaultFileName());
    ~Recorder() override;

public slots:
    // Records the scan, then says what changed; after a scan of another
    // network than the last one, or one that changed anything, also every
    // device of its network (DevicesRead), unless the file cannot be read.
    void Record(const presence::ScanResult &scan);

signals:
    void Recorded(const presence::ScanChanges &changes);
    void DevicesRead(const presence::NetworkKey &network,
                     const std::vector<presence::Device> &devices);

private:
    QString fileName;
    std::unique_ptr<Store> store;
    std::optional<NetworkKey> lastNetwork;
};

} // namespace presence
