#pragma once

#include "publish/homeassistant.h"

#include <QByteArray>

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <vector>

namespace publish {

// One message for the broker: a retained one (a device's discovery, state or
// attributes, or its removal, an empty payload) or an event.
struct Outgoing
{
    QByteArray topic;
    QByteArray payload;
    bool retain = true;
};

// What waits for the broker, without the broker: the retained messages one
// per topic, each handed out again only when its payload changes (and all of
// them after a reconnection), and the events in the order given, at most
// maxQueuedEvents, the oldest dropped first. Not thread-safe: MqttPublisher
// holds its mutex around every call.
class Outbox
{
public:
    // Three topics per device, for at most 100,000 devices.
    static constexpr std::size_t DefaultMaxTopics = 3 * 100000;

    Outbox(QByteArray topicOfEvents, std::size_t maxQueuedEvents,
           std::size_t mostTopics = DefaultMaxTopics);

    // A device's messages: those whose payload changed wait to be handed
    // out. True the first time a new topic does not fit (to be said once);
    // the messages from it on are left out.
    bool SetRetained(std::vector<Message> messages);
    // A device's removal: an empty payload for each topic, also one never
    // handed out (an earlier run may have sent it), while topics fit.
    void Forget(const std::vector<Message> &messages);
    // True when the event pushed out the first of the oldest since the last
    // reconnection (to be said once per absence).
    bool AddEvent(QByteArray payload);

    // The next message to hand out: a retained one first, then the oldest
    // event. False when nothing waits. A removal handed out is forgotten.
    bool Next(Outgoing *message);
    // A message Next gave that could not be handed over, kept for the next
    // connection; a retained one whose topic got a newer payload meanwhile
    // is dropped, the newer one waits.
    void PutBack(Outgoing message);
    // A new connection: every retained message waits again. Returns how
    // many events were dropped since the last one.
    std::size_t Reconnected();

    bool Pending() const { return !unsent.empty() || !events.empty(); }

private:
    const QByteArray eventTopic;
    const std::size_t maxEvents;
    const std::size_t maxTopics;
    std::map<QByteArray, QByteArray> retained; // topic -> payload (empty: removed)
    std::set<QByteArray> unsent;               // topics not handed out since they changed
    std::deque<QByteArray> events;
    std::size_t dropped = 0;
    bool tooManySaid = false;
};

// The messages handed to libmosquitto and not yet acknowledged, by message
// id, over every connection: what a connection left unacknowledged
// libmosquitto sends again, so those still count against the bound.
class InFlight
{
public:
    explicit InFlight(std::size_t most) : bound(most) {}

    bool Room() const { return mids.size() < bound; }
    bool Holds(int mid) const { return mids.count(mid) != 0; }
    bool Empty() const { return mids.empty(); }
    void Handed(int mid) { mids.insert(mid); }
    // False for a message id not in flight (already acknowledged, or not ours).
    bool Acknowledged(int mid) { return mids.erase(mid) != 0; }

private:
    const std::size_t bound;
    std::set<int> mids;
};

} // namespace publish
