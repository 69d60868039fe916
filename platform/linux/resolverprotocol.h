#pragma once

// What the program and the resolver helper (resolver/) say to each other over
// the socket pair the program creates when it starts the helper. Both sides
// are the same build on the same machine, so numbers travel in host order;
// addresses travel as their four bytes in network order.
//
// Request, program to helper, 12 bytes:
//   0  kind      1 byte, kResolve or kEchoAllNodes
//   1  reserved  3 bytes, zero
//   4  id        4 bytes, chosen by the program, echoed in the reply
//   8  address   4 bytes, the IPv4 address to resolve; for kEchoAllNodes,
//                the machine's own address on the interface to echo on
//
// Reply, helper to program, 20 bytes:
//   0  kind      1 byte, kAnswered, kNoAnswer, kHeldBack or kOtherCard for
//                kResolve; kEchoed or kNotEchoed for kEchoAllNodes
//   1  reserved  3 bytes, zero
//   4  id        4 bytes, the request's (zero for kOtherCard)
//   8  address   4 bytes, the request's
//   12 mac       6 bytes, the hardware address (zero without an answer, and
//                always zero for an echo)
//   18 reserved  2 bytes, zero
//
// kEchoAllNodes asks for one ICMPv6 echo request to ff02::1 on the Ethernet
// interface that holds the address, which the helper serves. kEchoed says
// that an echo left that interface within the helper's echo interval
// (resolver/limits.h), this request's or an earlier one's: the neighbour
// table is worth reading. kNotEchoed says none did: the address is on no
// interface it serves, it has no IPv6, or the echo could not be sent.
//
// Every request gets exactly one reply, in no particular order. kHeldBack
// says that no request could be sent for the address within the helper's
// patience, as another process holds the interface (its lock): the program
// then asks the kernel's table. kOtherCard answers no request: after the
// helper answered for the address, a second card answered for it too (mac);
// it comes at most once per answer, after it. Anything that is not a
// well-formed request ends the helper.

#include "platform/linux/linuxlinks.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::resolver {

constexpr uint8_t kResolve = 1;
constexpr uint8_t kAnswered = 2;
constexpr uint8_t kNoAnswer = 3;
constexpr uint8_t kHeldBack = 4;
constexpr uint8_t kOtherCard = 5;
constexpr uint8_t kEchoAllNodes = 6;
constexpr uint8_t kEchoed = 7;
constexpr uint8_t kNotEchoed = 8;

constexpr std::size_t kRequestSize = 12;
constexpr std::size_t kReplySize = 20;

// The most requests the helper holds at once; one more ends it. The program
// keeps to kClientOutstanding, well below.
constexpr std::size_t kMaxOutstanding = 4096;
constexpr std::size_t kClientOutstanding = 1024;

struct Request
{
    uint32_t id = 0;
    uint32_t address = 0; // network byte order
    bool echo = false;    // kEchoAllNodes rather than kResolve
};

struct Reply
{
    uint32_t id = 0;
    uint32_t address = 0; // network byte order
    bool answered = false;
    bool heldBack = false; // not answered: nothing could be sent
    // No request's reply (id 0): mac is a second card that answered for
    // address after the helper's answer.
    bool otherCard = false;
    // The reply to an echo request: answered says that an echo left.
    bool echo = false;
    linuxarp::MacAddress mac{};
};

using RequestBytes = std::array<uint8_t, kRequestSize>;
using ReplyBytes = std::array<uint8_t, kReplySize>;

RequestBytes EncodeRequest(const Request &request);
ReplyBytes EncodeReply(const Reply &reply);
// False for anything but a well-formed reply.
bool DecodeReply(const uint8_t *data, std::size_t size, Reply *reply);

// Cuts the helper's input into requests. Bytes go in as they are read;
// whole requests come out. Keeps at most one partial record.
class RequestReader
{
public:
    enum class Status
    {
        Request, // *request holds the next one
        More,    // nothing whole yet
        Refused  // not a request: Reason() says why; the input is done for
    };

    void Feed(const uint8_t *data, std::size_t size);
    Status Next(Request *request);
    // The input ended: false when it ended in the middle of a record.
    bool Finish();
    const std::string &Reason() const { return reason; }

private:
    std::vector<uint8_t> buffer;
    std::size_t consumed = 0;
    std::string reason;
};

// What the helper does with one well-formed request.
enum class Verdict
{
    Resolve,  // ARP requests on route->link
    Own,      // one of the machine's own addresses: its interface's MAC
    Echo,     // an echo on route->link, which holds the echo request's address
    NoAnswer, // not on a directly attached ARP network (an echo: not an address of
              // an ARP interface): nothing is sent
    Refuse    // too many at once: the helper ends
};

Verdict Judge(const Request &request, std::size_t outstanding,
              const std::vector<linuxarp::LinkInterface> &links, linuxarp::Route *route);

} // namespace platform::resolver
