#pragma once

#include <QLoggingCategory>

// Debug output of the hosts' names (trelvan.names): what each lookup found.
Q_DECLARE_LOGGING_CATEGORY(lcNames)
