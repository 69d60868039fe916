#pragma once

#include <QLoggingCategory>

// Debug output of the comments and their store (trelvan.comments).
Q_DECLARE_LOGGING_CATEGORY(lcComments)
