#pragma once

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

// Points every QSettings of this process at a fresh temporary folder, so a
// test can never read or write the user's real settings store.
class TemporarySettings
{
public:
    TemporarySettings()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
};
