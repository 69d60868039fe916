#pragma once

#include <QLoggingCategory>

// Debug output of the address resolution that the program's own texts do
// not fix: trelvan.arp for the resolution itself, trelvan.helper for the
// resolver helper as the program sees it (starting it, losing it). Silence
// one with QT_LOGGING_RULES="trelvan.arp.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcArp)
Q_DECLARE_LOGGING_CATEGORY(lcHelper)
