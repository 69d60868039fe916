#pragma once

#include "trelvanversion.h"

#include <QCoreApplication>
#include <QString>

// Who makes Trelvan and what it is called: the names under which Qt keeps
// its settings (~/.config/Dantrix/Trelvan.conf, the comments) and its data
// (~/.local/share/Dantrix/Trelvan/, the presence history), and the maker the
// "A propos" box names, as the top-level CMakeLists.txt sets them for the
// Windows resources and installers too.

inline QString OrganizationName()
{
    return QStringLiteral(TRELVAN_ORGANIZATION_NAME);
}

inline QString ApplicationName()
{
    return QStringLiteral(TRELVAN_APPLICATION_NAME);
}

// Gives the application object these names, as each program does first.
inline void SetProgramNames()
{
    QCoreApplication::setOrganizationName(OrganizationName());
    QCoreApplication::setApplicationName(ApplicationName());
}
