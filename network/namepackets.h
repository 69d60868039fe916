#pragma once

// The packets of the two name queries that hosts answer themselves: the
// multicast DNS question for the name of an IPv4 address, and the NetBIOS
// node status request. Plain bytes in and out, no sockets and no Qt, so that
// the parsers can be fuzzed. What comes back from the network is untrusted:
// every read is bounds-checked, and a name is handed back only when it is
// whole and keeps the rule of network/namerule.h.

#include "network/namerule.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace namepackets {

constexpr uint16_t kMdnsPort = 5353;
constexpr uint16_t kNetbiosPort = 137;
// 224.0.0.251, host order.
constexpr uint32_t kMdnsGroup = 0xE00000FBu;

// "20.1.168.192.in-addr.arpa" for 192.168.1.20 (host order).
std::string ReverseName(uint32_t hostOrderAddress);

// A standard query with one question: PTR, class IN, for the reverse name of
// the address. Asked from a port other than 5353 it is a "legacy unicast"
// query, which a responder answers by unicast to the asker, echoing id.
std::vector<uint8_t> MdnsReverseQuery(uint32_t hostOrderAddress, uint16_t id);

// The name that a response to the query of id gives the address: the
// target of the first PTR record, in any section, whose owner is the
// address's reverse name (case does not matter). Compressed names are
// followed with a bounded number of jumps. The name comes without its final
// dot, as UTF-8. False when the packet is not a response, answers another
// query, is cut short or malformed, or holds no such record; false too when
// the name breaks the rule of network/namerule.h, and then *fault (if
// given) says why.
bool ParseMdnsReverseAnswer(const uint8_t *data, std::size_t size, uint32_t hostOrderAddress,
                            uint16_t id, std::string *name, namerule::NameFault *fault = nullptr);

// A node status request (NBSTAT, class IN) for the wildcard name "*".
std::vector<uint8_t> NetbiosStatusQuery(uint16_t id);

// The workstation name in a node status response: the first unique (not
// group) name of suffix 0x00, without its padding, its bytes read as
// Latin-1 and handed back as UTF-8. False when the response does not answer
// id, is cut short or malformed, or lists no such name; false too when the
// name breaks the rule of network/namerule.h, and then *fault (if given)
// says why.
bool ParseNetbiosStatus(const uint8_t *data, std::size_t size, uint16_t id, std::string *name,
                        namerule::NameFault *fault = nullptr);

} // namespace namepackets
