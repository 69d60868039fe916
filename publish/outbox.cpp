#include "publish/outbox.h"

#include <algorithm>
#include <utility>

namespace publish {

Outbox::Outbox(QByteArray topicOfEvents, std::size_t maxQueuedEvents, std::size_t mostTopics)
    : eventTopic(std::move(topicOfEvents)), maxEvents(std::max<std::size_t>(maxQueuedEvents, 1)),
      maxTopics(mostTopics)
{
}

bool Outbox::SetRetained(std::vector<Message> messages)
{
    for (Message &message : messages) {
        const auto known = retained.find(message.topic);
        if (known == retained.end() && retained.size() >= maxTopics) {
            const bool say = !tooManySaid;
            tooManySaid = true;
            return say;
        }
        if (known != retained.end() && known->second == message.payload)
            continue;
        unsent.insert(message.topic);
        retained[message.topic] = std::move(message.payload);
    }
    return false;
}

void Outbox::Forget(const std::vector<Message> &messages)
{
    for (const Message &message : messages) {
        const auto known = retained.find(message.topic);
        if (known != retained.end() && known->second.isEmpty())
            continue;
        if (known == retained.end() && retained.size() >= maxTopics)
            return;
        retained[message.topic].clear();
        unsent.insert(message.topic);
    }
}

bool Outbox::AddEvent(QByteArray payload)
{
    bool firstDrop = false;
    events.push_back(std::move(payload));
    while (events.size() > maxEvents) {
        events.pop_front();
        firstDrop = dropped++ == 0;
    }
    return firstDrop;
}

bool Outbox::Next(Outgoing *message)
{
    if (!unsent.empty()) {
        message->topic = *unsent.begin();
        unsent.erase(unsent.begin());
        const auto known = retained.find(message->topic);
        message->payload = known->second;
        message->retain = true;
        // A removal is handed out once (and sent again by libmosquitto until
        // acknowledged), then forgotten here too.
        if (message->payload.isEmpty())
            retained.erase(known);
        return true;
    }
    if (events.empty())
        return false;
    message->topic = eventTopic;
    message->payload = events.front();
    message->retain = false;
    events.pop_front();
    return true;
}

void Outbox::PutBack(Outgoing message)
{
    if (!message.retain) {
        events.push_front(std::move(message.payload));
        return;
    }
    if (unsent.insert(message.topic).second)
        retained.emplace(message.topic, std::move(message.payload));
}

std::size_t Outbox::Reconnected()
{
    for (const auto &topic : retained)
        unsent.insert(topic.first);
    return std::exchange(dropped, 0);
}

} // namespace publish
