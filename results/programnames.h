#pragma once

#include <QCoreApplication>
#include <QString>

// Who makes Trelvan and what it is called: the names under which Qt keeps
// its settings (~/.config/Dantrix/Trelvan.conf, the comments) and its data
// (~/.local/share/Dantrix/Trelvan/, the presence history), and the maker the
// "A propos" box names. Written here only.

inline QString OrganizationName()
{
    return QStringLiteral("Dantrix");
}

inline QString ApplicationName()
{
    return QStringLiteral("Trelvan");
}

// Gives the application object these names, as each program does first.
inline void SetProgramNames()
{
    QCoreApplication::setOrganizationName(OrganizationName());
    QCoreApplication::setApplicationName(ApplicationName());
}
