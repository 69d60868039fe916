#include "presence/rule.h"

#include "presence/cardlink.h"

#include <algorithm>
#include <limits>

namespace presence {

namespace {

// What a scan saw of a host; a name that missed this scan keeps the last.
void Saw(Card &card, quint32 address, const HostRecord &host, qint64 time)
{
    card.lastSeen = time;
    card.address = address;
    card.web = host.webServer ? 1 : host.secureWebServer ? 2 : 0;
    const auto keep = [](QString &stored, const QString &now) {
        if (!now.isEmpty())
            stored = now;
    };
    keep(card.names.dns, host.names.dns);
    keep(card.names.mdns, host.names.mdns);
    keep(card.names.netbios, host.names.netbios);
    keep(card.name, host.name);
    // A privacy address that rotated is simply replaced.
    if (!host.ipv6.isEmpty())
        card.ipv6 = host.ipv6.mid(0, MaxIpv6);
    card.missed = 0;
    card.changed = true;
}

// A card that another takes the place of, gone without a Left change.
void Replaced(Card &card, qint64 time)
{
    card.present = false;
    card.since = time;
    card.missed = 0;
    card.changed = true;
}

} // namespace

Decision Decide(const Known &known, const ScanResult &scan, qint64 time)
{
    Decision out;
    std::map<Mac, Card> cards = known.cards;

    // The gateway's address answered by another card than the network's
    // own: told once per card, at most once in GatewayChangedEveryMs.
    if (!known.gatewayAnswered.empty() && !known.ownGateway.empty() &&
        known.gatewayAnswered != known.gatewayNow) {
        out.gatewayNow = known.gatewayAnswered;
        if (!known.gatewayChangedTold)
            out.events.push_back({ChangeKind::GatewayChanged,
                                  known.gatewayAnswered,
                                  HostOrderAddress(known.gatewayKey),
                                  known.ownGateway,
                                  {}});
    }

    std::map<quint32, Card *> holders; // the present card of each address
    for (auto &[mac, card] : cards)
        if (card.present) {
            Card *&holder = holders[card.address];
            if (!holder || holder->lastSeen < card.lastSeen)
                holder = &card;
        }
    std::set<Mac> &seen = out.seen;
    for (const auto &[key, host] : scan.hosts) {
        seen.insert(host.mac);
        if (!host.conflictMac.empty())
            seen.insert(host.conflictMac);
    }
    if (!known.ownGateway.empty())
        seen.insert(known.ownGateway);

    // How many cards it never showed the network may take now: at its first
    // scan every one, and those do not count later.
    int admissible = std::numeric_limits<int>::max();
    if (!known.firstScan)
        admissible = std::min(NewCardsPerScan, NewCardsPerHour - known.recentNewCards);
    int refused = 0;
    std::set<quint32> conflictsTold = known.conflictsTold;
    // The names the scan's hosts gave, for the new private cards to link.
    const ScanSignals given = known.firstScan ? ScanSignals() : SignalsOf(scan.hosts);
    // A device is present while any of its cards is: a card of a device
    // present by another neither arrives nor leaves.
    std::set<Mac> devicesPresent;
    for (const auto &[mac, card] : cards)
        if (card.present)
            devicesPresent.insert(DeviceOf(card));

    for (const quint32 key : KeysInAddressOrder(scan.hosts)) {
        const HostRecord &host = scan.hosts.at(key);
        // The gateway's address answered by another card: told, not obeyed.
        if (host.mac.empty() || (!known.ownGateway.empty() && key == known.gatewayKey))
            continue;
        const quint32 address = HostOrderAddress(key);
        auto found = cards.find(host.mac);
        // A scan older than what another program recorded since tells nothing.
        if (found != cards.end() && time <= std::max(found->second.lastSeen, found->second.since))
            continue;
        const auto held = holders.find(address);
        if (!host.conflictMac.empty()) {
            // Two cards for one address: told, not obeyed. The card that held
            // it, where it is one of them, was seen there; neither takes it.
            if (conflictsTold.insert(address).second)
                out.events.push_back(
                    {ChangeKind::Conflict, host.mac, address, host.conflictMac, {}});
            if (held != holders.end() &&
                (held->second->mac == host.mac || held->second->mac == host.conflictMac)) {
                Card &holder = *held->second;
                if (holder.mac == host.mac) {
                    Saw(holder, address, host, time);
                } else {
                    holder.lastSeen = time;
                    holder.missed = 0;
                    holder.changed = true;
                }
            }
            continue;
        }
        Card *holder = nullptr;
        if (held != holders.end() && held->second->mac != host.mac &&
            !seen.count(held->second->mac) && held->second->present &&
            time > held->second->lastSeen)
            holder = held->second;
        const bool isNew = found == cards.end();
        std::optional<Link> link;
        if (isNew) {
            if (out.admitted >= admissible) {
                ++refused;
                out.unrecorded.push_back(key);
                continue;
            }
            ++out.admitted;
            if (!known.firstScan)
                link = LinkOf(host, known, given, seen);
            Card card;
            card.mac = host.mac;
            if (link)
                card.device = link->device;
            card.firstSeen = time;
            card.address = address;
            found = cards.emplace(host.mac, std::move(card)).first;
        } else if (!known.firstScan && LinksLate(found->second, time)) {
            // What its host announced came after the scan that showed it.
            link = LinkOf(host, known, given, seen);
            if (link)
                found->second.device = link->device;
        }
        Card &card = found->second;
        const bool wasPresent = card.present;
        // The first scan of a network only learns who is there.
        if (known.firstScan) {
            // no change
        } else if (link) {
            // The device's own, back with another card: neither new nor a
            // notice. Its cards and the address's holder give way quietly.
            out.events.push_back({ChangeKind::CardLinked,
                                  host.mac,
                                  address,
                                  link->previousMac,
                                  {},
                                  0,
                                  link->signalKind,
                                  link->signal});
            if (holder)
                Replaced(*holder, time);
            for (auto &[mac, other] : cards)
                if (other.present && mac != host.mac && DeviceOf(other) == link->device)
                    Replaced(other, time);
        } else if (holder) {
            out.events.push_back({ChangeKind::MacChanged, host.mac, address, holder->mac, {}});
            Replaced(*holder, time);
        } else if (isNew) {
            out.events.push_back({ChangeKind::New, host.mac, address, {}, {}});
        } else if (!wasPresent) {
            if (!devicesPresent.count(DeviceOf(card)))
                out.events.push_back({ChangeKind::Arrived, host.mac, address, {}, {}});
        } else if (card.address != address) {
            out.events.push_back({ChangeKind::AddressChanged, host.mac, address, {}, card.address});
        }
        if (!wasPresent) {
            card.present = true;
            card.since = time;
            devicesPresent.insert(DeviceOf(card));
        }
        Saw(card, address, host, time);
    }
    if (refused > 0 && !known.floodTold)
        out.events.push_back({ChangeKind::Flood, {}, 0, {}, {}, refused});
    std::vector<const Card *> leaving;
    for (auto &[mac, card] : cards) {
        if (!card.present || seen.count(mac) || time <= card.lastSeen)
            continue;
        card.changed = true;
        if (++card.missed >= LeaveAfterScans && time - card.lastSeen >= LeaveAfterMs) {
            card.present = false;
            card.since = time;
            card.missed = 0;
            leaving.push_back(&card);
        }
    }
    std::set<Mac> staying;
    for (const auto &[mac, card] : cards)
        if (card.present)
            staying.insert(DeviceOf(card));
    for (const Card *card : leaving)
        if (!staying.count(DeviceOf(*card)))
            out.events.push_back({ChangeKind::Left, card->mac, card->address, {}, {}});
    for (auto &[mac, card] : cards)
        if (card.changed)
            out.cards.push_back(std::move(card));
    return out;
}

} // namespace presence
