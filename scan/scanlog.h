#pragma once

#include <QLoggingCategory>

// Debug output of the scan (trelvan.scan): each answering host, the
// coordinator's start, end and waits.
Q_DECLARE_LOGGING_CATEGORY(lcScan)
