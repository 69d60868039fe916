#pragma once

// The one rule that a host's name must keep, whatever source gave it (the
// system's resolver, multicast DNS, NetBIOS), before it is shown anywhere. A
// name is text chosen by whoever runs the host: it may hold nothing that
// moves a terminal's cursor, reorders the text around it, hides between
// other characters or passes for another name. A name that breaks the rule
// is dropped, never repaired. Plain bytes, no Qt, so that the readers of
// answers can apply it and be fuzzed with it.

#include <string>
#include <string_view>
#include <vector>

namespace namerule {

constexpr std::size_t kMaxLabelBytes = 63;
constexpr std::size_t kMaxNameBytes = 253;

// Why a name is refused; None when it is acceptable.
enum class NameFault
{
    None,
    Empty,
    InvalidUtf8,   // not UTF-8, or an overlong form, a surrogate, past U+10FFFF
    Control,       // C0, DEL, C1, or a line or paragraph separator
    Bidirectional, // an embedding, override or isolate, or a directional mark
    Invisible,     // a zero-width character or a byte order mark
    DotInLabel,    // a label that holds a dot: it would read as two
    EmptyLabel,    // two dots in a row, or one at either end
    LongLabel,     // more than kMaxLabelBytes
    LongName,      // more than kMaxNameBytes, dots included
    LongText       // free text longer than the bound its reader sets
};

// The labels as a DNS message carries them, each UTF-8.
NameFault CheckNameLabels(const std::vector<std::string> &labels);
// A name written out in UTF-8, labels joined by dots ("nas-salon.local");
// a NetBIOS name is one label, or several where it holds dots.
NameFault CheckName(std::string_view name);

// Free text that a device says of itself (a page's title, a model, a
// friendly name chosen by its owner): the same characters refused as in a
// name, dots and spaces allowed, at most maxBytes of UTF-8.
constexpr std::size_t kMaxTextBytes = 256;
NameFault CheckText(std::string_view text, std::size_t maxBytes = kMaxTextBytes);

// A few words for a debug line ("caractère de contrôle").
const char *NameFaultText(NameFault fault);

} // namespace namerule
