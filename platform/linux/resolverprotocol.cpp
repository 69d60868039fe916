#include "platform/linux/resolverprotocol.h"

#include <cstring>

namespace platform::resolver {

namespace {

constexpr std::size_t kKindAt = 0;
constexpr std::size_t kReservedAt = 1;
constexpr std::size_t kIdAt = 4;
constexpr std::size_t kAddressAt = 8;
constexpr std::size_t kMacAt = 12;
constexpr std::size_t kTailAt = 18;

bool AllZero(const uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i])
            return false;
    }
    return true;
}

} // namespace

RequestBytes EncodeRequest(const Request &request)
{
    RequestBytes bytes{};
    bytes[kKindAt] = request.echo ? kEchoAllNodes : kResolve;
    std::memcpy(&bytes[kIdAt], &request.id, 4);
    std::memcpy(&bytes[kAddressAt], &request.address, 4);
    return bytes;
}

ReplyBytes EncodeReply(const Reply &reply)
{
    ReplyBytes bytes{};
    if (reply.echo)
        bytes[kKindAt] = reply.answered ? kEchoed : kNotEchoed;
    else
        bytes[kKindAt] = reply.otherCard  ? kOtherCard
                         : reply.answered ? kAnswered
                         : reply.heldBack ? kHeldBack
                                          : kNoAnswer;
    if (!reply.otherCard)
        std::memcpy(&bytes[kIdAt], &reply.id, 4);
    std::memcpy(&bytes[kAddressAt], &reply.address, 4);
    if (!reply.echo && (reply.answered || reply.otherCard))
        std::memcpy(&bytes[kMacAt], reply.mac.data(), reply.mac.size());
    return bytes;
}

bool DecodeReply(const uint8_t *data, std::size_t size, Reply *reply)
{
    if (size != kReplySize || !AllZero(data + kReservedAt, 3) || !AllZero(data + kTailAt, 2))
        return false;
    const uint8_t kind = data[kKindAt];
    if (kind != kAnswered && kind != kNoAnswer && kind != kHeldBack && kind != kOtherCard &&
        kind != kEchoed && kind != kNotEchoed)
        return false;
    reply->echo = kind == kEchoed || kind == kNotEchoed;
    reply->answered = kind == kAnswered || kind == kEchoed;
    reply->heldBack = kind == kHeldBack;
    reply->otherCard = kind == kOtherCard;
    std::memcpy(&reply->id, data + kIdAt, 4);
    std::memcpy(&reply->address, data + kAddressAt, 4);
    std::memcpy(reply->mac.data(), data + kMacAt, reply->mac.size());
    const bool carriesMac = (reply->answered && !reply->echo) || reply->otherCard;
    if (!carriesMac && !AllZero(reply->mac.data(), reply->mac.size()))
        return false;
    // A second card answers no request.
    if (reply->otherCard && reply->id != 0)
        return false;
    return true;
}

void RequestReader::Feed(const uint8_t *data, std::size_t size)
{
    if (!reason.empty() || size == 0)
        return;
    // Drop what was read already before the buffer grows.
    if (consumed > 0) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        consumed = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

RequestReader::Status RequestReader::Next(Request *request)
{
    if (!reason.empty())
        return Status::Refused;
    if (buffer.size() - consumed < kRequestSize)
        return Status::More;
    const uint8_t *record = buffer.data() + consumed;
    if (record[kKindAt] != kResolve && record[kKindAt] != kEchoAllNodes) {
        reason = "a record of unknown kind " + std::to_string(record[kKindAt]);
        return Status::Refused;
    }
    if (!AllZero(record + kReservedAt, 3)) {
        reason = "a record with its reserved bytes set";
        return Status::Refused;
    }
    request->echo = record[kKindAt] == kEchoAllNodes;
    std::memcpy(&request->id, record + kIdAt, 4);
    std::memcpy(&request->address, record + kAddressAt, 4);
    consumed += kRequestSize;
    return Status::Request;
}

bool RequestReader::Finish()
{
    if (reason.empty() && buffer.size() != consumed)
        reason = "a short record (" + std::to_string(buffer.size() - consumed) + " bytes)";
    return reason.empty();
}

Verdict Judge(const Request &request, std::size_t outstanding,
              const std::vector<linuxarp::LinkInterface> &links, linuxarp::Route *route)
{
    if (outstanding >= kMaxOutstanding)
        return Verdict::Refuse;
    if (request.echo) {
        // Only an interface that holds the address itself, where ARP runs.
        const bool held = linuxarp::FindRoute(links, request.address, request.address, route) ==
                              linuxarp::RouteResult::Found &&
                          route->own;
        return held ? Verdict::Echo : Verdict::NoAnswer;
    }
    // No answer either for an address that has no hardware address.
    if (linuxarp::FindRoute(links, request.address, 0, route) != linuxarp::RouteResult::Found)
        return Verdict::NoAnswer;
    return route->own ? Verdict::Own : Verdict::Resolve;
}

} // namespace platform::resolver
