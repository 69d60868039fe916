#pragma once

// The texts that devices say of themselves (names, models, titles) on their
// way in: every one is checked by the text rule of network/namerule.h and
// handed back as a QString, or refused whole (an empty QString).

#include "network/namerule.h"

#include <QByteArray>
#include <QString>

namespace identify {

// The UTF-8 bytes as they came, when they keep the text rule within maxBytes.
QString CheckedText(const QByteArray &utf8, std::size_t maxBytes = namerule::kMaxTextBytes);

// Text read out of a page or a document, where layout is not meaning: runs
// of white space (line breaks and no-break spaces too) become one space, the
// ends are trimmed, and a text longer than maxBytes of UTF-8 is cut at a
// character's end; then the text rule.
QString CollapsedText(const QString &text, std::size_t maxBytes = namerule::kMaxTextBytes);

} // namespace identify
