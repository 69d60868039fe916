#pragma once

#include <QLoggingCategory>

// Debug output of the scan beyond its fixed lines (trelvan.scan).
Q_DECLARE_LOGGING_CATEGORY(lcScan)
