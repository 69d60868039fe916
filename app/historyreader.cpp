// The history dialog's reader, which reads a network's history off the GUI
// thread, and the dialog's words for moments.
#include "app/historydialog.h"

#include "presence/timeline.h"
#include "results/hosttext.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <map>

QString SeenText(qint64 msecsSinceEpoch)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    const QLocale french(QLocale::French);
    const int day = time.date().day();
    return HistoryDialog::tr("%0 %1 à %2")
        .arg(day == 1 ? QStringLiteral("1er") : QString::number(day),
             french.toString(time.date(), QStringLiteral("MMMM yyyy")),
             time.toString(QStringLiteral("HH:mm")));
}

QString AbsentText(qint64 lastSeen, qint64 now)
{
    const qint64 minutes = std::max<qint64>(1, (now - lastSeen) / 60000);
    if (minutes < 60)
        return HistoryDialog::tr("absent depuis %0 min").arg(minutes);
    if (minutes < 24 * 60)
        return HistoryDialog::tr("absent depuis %0 h").arg(minutes / 60);
    return HistoryDialog::tr("absent depuis %0 j").arg(minutes / (24 * 60));
}

HistoryReader::HistoryReader(const QString &storeFile, const presence::NetworkKey &shownNetwork)
    : fileName(storeFile), network(shownNetwork)
{
}

HistoryReader::~HistoryReader() = default;

presence::Store &HistoryReader::Store()
{
    if (!store)
        store = std::make_unique<presence::Store>(fileName);
    return *store;
}

void HistoryReader::Read(qint64 now)
{
    HistoryReading reading;
    reading.now = now;
    reading.devices = Store().Devices(network);
    reading.status = Store().Status();
    const qint64 from = now - presence::TimelineMs;
    std::map<presence::Mac, std::vector<presence::CardEvent>> events;
    presence::ReadCardEvents(fileName, network, from, now, events);
    // Each card's strip is its device's: every card's changes, but a card
    // giving way to another of the device; present while any card is.
    std::map<presence::Mac, const presence::Device *> cards;
    for (const presence::Device &device : reading.devices)
        cards[device.record.mac] = &device;
    reading.strips.reserve(reading.devices.size());
    for (const presence::Device &device : reading.devices) {
        presence::Device whole = device;
        std::vector<presence::CardEvent> changes;
        for (const presence::Mac &mac :
             device.macs.empty() ? std::vector<presence::Mac>{device.record.mac} : device.macs) {
            if (const auto card = cards.find(mac); card != cards.end()) {
                whole.firstSeen = std::min(whole.firstSeen, card->second->firstSeen);
                whole.lastSeen = std::max(whole.lastSeen, card->second->lastSeen);
                whole.present = whole.present || card->second->present;
            }
            if (const auto found = events.find(mac); found != events.end())
                for (const presence::CardEvent &event : found->second)
                    if (!event.replaced || event.kind != presence::ChangeKind::CardLinked ||
                        device.macs.size() < 2)
                        changes.push_back(event);
        }
        reading.strips.push_back({presence::PresenceSpans(std::move(changes), whole.firstSeen,
                                                          whole.lastSeen, whole.present, from, now),
                                  from, now});
    }
    emit Done(reading);
}

void HistoryReader::Forget(const presence::Mac &mac)
{
    const bool removed = Store().Forget(network, mac);
    emit Forgotten(MacToText(mac), removed, removed ? QString() : Store().Status());
}

void HistoryReader::Merge(const presence::Mac &device, const presence::Mac &other)
{
    std::vector<presence::Change> linked;
    const bool done = Store().Merge(network, device, other, &linked);
    emit Merged(MacToText(device), MacToText(other), done, done ? QString() : Store().Status(),
                linked);
}

void HistoryReader::Split(const presence::Mac &mac)
{
    const bool done = Store().Split(network, mac);
    emit Separated(MacToText(mac), done, done ? QString() : Store().Status());
}
