#pragma once

#include <QLoggingCategory>

// What the window shows, for whoever cannot look at it (a test, a remote
// session): the status lines, the picker's entries, the rebuilds' host counts
// and the clicked links (trelvan.window). The program turns it off (main.cpp).
Q_DECLARE_LOGGING_CATEGORY(lcWindow)
