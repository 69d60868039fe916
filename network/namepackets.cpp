#include "network/namepackets.h"

#include <cctype>

namespace namepackets {

namespace {

constexpr uint16_t kResponseFlag = 0x8000;
constexpr uint16_t kOpcodeMask = 0x7800;
constexpr uint16_t kTypePtr = 12;
constexpr uint16_t kTypeNbstat = 0x21;
constexpr uint16_t kClassIn = 1;
// The top bit of a multicast DNS record's class is the cache-flush flag.
constexpr uint16_t kClassMask = 0x7FFF;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxLabelLength = 63;
// More jumps than a name of 255 bytes can need: a longer chain is a loop.
constexpr int kMaxJumps = 128;
// A node status entry: 15 name bytes, the suffix, two bytes of flags.
constexpr std::size_t kNetbiosEntrySize = 18;
constexpr std::size_t kNetbiosNameLength = 15;
constexpr uint16_t kNetbiosGroupFlag = 0x8000;

void Put16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

std::vector<uint8_t> Header(uint16_t id)
{
    std::vector<uint8_t> out;
    Put16(out, id);
    Put16(out, 0); // a standard query
    Put16(out, 1); // one question
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    return out;
}

// Bounds-checked reads of a received message.
class Reader
{
public:
    Reader(const uint8_t *bytes, std::size_t length) : data(bytes), size(length) {}

    bool Read16(std::size_t &at, uint16_t *value) const
    {
        if (at > size || size - at < 2)
            return false;
        *value = static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        return true;
    }

    bool Skip(std::size_t &at, std::size_t count) const
    {
        if (at > size || size - at < count)
            return false;
        at += count;
        return true;
    }

    // Reads the name at `at`, following compression pointers, into labels;
    // `at` moves past the name as it stands in the record.
    bool ReadName(std::size_t &at, std::vector<std::string> *labels) const
    {
        labels->clear();
        std::size_t cursor = at;
        std::size_t length = 0;
        int jumps = 0;
        bool jumped = false;
        for (;;) {
            if (cursor >= size)
                return false;
            const uint8_t byte = data[cursor];
            if ((byte & 0xC0) == 0xC0) {
                if (cursor + 1 >= size || ++jumps > kMaxJumps)
                    return false;
                const std::size_t target =
                    static_cast<std::size_t>(byte & 0x3F) << 8 | data[cursor + 1];
                if (!jumped)
                    at = cursor + 2;
                jumped = true;
                cursor = target;
                continue;
            }
            if (byte & 0xC0)
                return false; // extended label types are not used
            if (byte == 0) {
                if (!jumped)
                    at = cursor + 1;
                return true;
            }
            if (byte > kMaxLabelLength || size - cursor - 1 < byte)
                return false;
            length += byte + 1u;
            if (length > kMaxNameLength)
                return false;
            labels->emplace_back(reinterpret_cast<const char *>(data + cursor + 1), byte);
            cursor += 1u + byte;
        }
    }

private:
    const uint8_t *data;
    std::size_t size;
};

// Hands back the rule's verdict on a name, through fault when it is given.
bool Acceptable(namerule::NameFault verdict, namerule::NameFault *fault)
{
    if (fault)
        *fault = verdict;
    return verdict == namerule::NameFault::None;
}

bool SameName(const std::vector<std::string> &labels, const std::vector<std::string> &expected)
{
    if (labels.size() != expected.size())
        return false;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i].size() != expected[i].size())
            return false;
        for (std::size_t j = 0; j < labels[i].size(); ++j)
            if (std::tolower(static_cast<unsigned char>(labels[i][j])) !=
                std::tolower(static_cast<unsigned char>(expected[i][j])))
                return false;
    }
    return true;
}

std::vector<std::string> ReverseLabels(uint32_t address)
{
    return {std::to_string(address & 0xFF),
            std::to_string(address >> 8 & 0xFF),
            std::to_string(address >> 16 & 0xFF),
            std::to_string(address >> 24),
            "in-addr",
            "arpa"};
}

} // namespace

std::string ReverseName(uint32_t hostOrderAddress)
{
    std::string name;
    for (const std::string &label : ReverseLabels(hostOrderAddress)) {
        if (!name.empty())
            name += '.';
        name += label;
    }
    return name;
}

std::vector<uint8_t> MdnsReverseQuery(uint32_t hostOrderAddress, uint16_t id)
{
    std::vector<uint8_t> out = Header(id);
    for (const std::string &label : ReverseLabels(hostOrderAddress)) {
        out.push_back(static_cast<uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    Put16(out, kTypePtr);
    Put16(out, kClassIn);
    return out;
}

bool ParseMdnsReverseAnswer(const uint8_t *data, std::size_t size, uint32_t hostOrderAddress,
                            uint16_t id, std::string *name, namerule::NameFault *fault)
{
    const Reader reader(data, size);
    std::size_t at = 0;
    uint16_t answerId = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
    if (!reader.Read16(at, &answerId) || !reader.Read16(at, &flags) ||
        !reader.Read16(at, &questions) || !reader.Read16(at, &answers) ||
        !reader.Read16(at, &authorities) || !reader.Read16(at, &additionals))
        return false;
    if (answerId != id || !(flags & kResponseFlag) || (flags & kOpcodeMask))
        return false;
    std::vector<std::string> labels;
    for (unsigned i = 0; i < questions; ++i)
        if (!reader.ReadName(at, &labels) || !reader.Skip(at, 4))
            return false;
    const std::vector<std::string> wanted = ReverseLabels(hostOrderAddress);
    const unsigned records = unsigned(answers) + authorities + additionals;
    for (unsigned i = 0; i < records; ++i) {
        uint16_t type = 0, recordClass = 0, dataLength = 0;
        if (!reader.ReadName(at, &labels) || !reader.Read16(at, &type) ||
            !reader.Read16(at, &recordClass) || !reader.Skip(at, 4) ||
            !reader.Read16(at, &dataLength))
            return false;
        const std::size_t dataStart = at;
        if (!reader.Skip(at, dataLength))
            return false;
        if (type != kTypePtr || (recordClass & kClassMask) != kClassIn || !SameName(labels, wanted))
            continue;
        // The target lies inside the record's data, though its pointers
        // may lead anywhere in the message.
        std::size_t targetAt = dataStart;
        std::vector<std::string> target;
        if (!reader.ReadName(targetAt, &target) || targetAt > at)
            return false;
        // Checked as labels: a dot inside one would pass for two once the
        // name is written out.
        if (!Acceptable(namerule::CheckNameLabels(target), fault))
            return false;
        std::string text;
        for (const std::string &label : target) {
            if (!text.empty())
                text += '.';
            text += label;
        }
        *name = text;
        return true;
    }
    return false;
}

std::vector<uint8_t> NetbiosStatusQuery(uint16_t id)
{
    std::vector<uint8_t> out = Header(id);
    // "*" padded with NULs to 16 bytes, each byte as two letters 'A' + nibble.
    out.push_back(32);
    for (int i = 0; i < 16; ++i) {
        const uint8_t byte = i == 0 ? '*' : 0;
        out.push_back(static_cast<uint8_t>('A' + (byte >> 4)));
        out.push_back(static_cast<uint8_t>('A' + (byte & 0x0F)));
    }
    out.push_back(0);
    Put16(out, kTypeNbstat);
    Put16(out, kClassIn);
    return out;
}

bool ParseNetbiosStatus(const uint8_t *data, std::size_t size, uint16_t id, std::string *name,
                        namerule::NameFault *fault)
{
    const Reader reader(data, size);
    std::size_t at = 0;
    uint16_t answerId = 0, flags = 0, questions = 0, answers = 0;
    if (!reader.Read16(at, &answerId) || !reader.Read16(at, &flags) ||
        !reader.Read16(at, &questions) || !reader.Read16(at, &answers) || !reader.Skip(at, 4))
        return false;
    if (answerId != id || !(flags & kResponseFlag) || (flags & kOpcodeMask) || answers == 0)
        return false;
    std::vector<std::string> labels;
    for (unsigned i = 0; i < questions; ++i)
        if (!reader.ReadName(at, &labels) || !reader.Skip(at, 4))
            return false;
    uint16_t type = 0, recordClass = 0, dataLength = 0;
    if (!reader.ReadName(at, &labels) || !reader.Read16(at, &type) ||
        !reader.Read16(at, &recordClass) || !reader.Skip(at, 4) || !reader.Read16(at, &dataLength))
        return false;
    if (type != kTypeNbstat || recordClass != kClassIn || size - at < dataLength || dataLength < 1)
        return false;
    const std::size_t count = data[at];
    if ((dataLength - 1u) / kNetbiosEntrySize < count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t *entry = data + at + 1 + i * kNetbiosEntrySize;
        const uint8_t suffix = entry[kNetbiosNameLength];
        const uint16_t entryFlags = static_cast<uint16_t>(entry[16] << 8 | entry[17]);
        if (suffix != 0x00 || (entryFlags & kNetbiosGroupFlag))
            continue;
        std::string latin1(reinterpret_cast<const char *>(entry), kNetbiosNameLength);
        while (!latin1.empty() && (latin1.back() == ' ' || latin1.back() == '\0'))
            latin1.pop_back();
        std::string text;
        for (const char c : latin1) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x80) {
                text += c;
            } else {
                text += static_cast<char>(0xC0 | byte >> 6);
                text += static_cast<char>(0x80 | (byte & 0x3F));
            }
        }
        if (!Acceptable(namerule::CheckName(text), fault))
            return false;
        *name = text;
        return true;
    }
    return false;
}

} // namespace namepackets
