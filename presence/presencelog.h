#pragma once

#include <QLoggingCategory>

// Debug output of the presence store (trelvan.presence): its file, what went
// wrong with it and what was done about it.
Q_DECLARE_LOGGING_CATEGORY(lcPresence)
