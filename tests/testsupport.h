#pragma once

#include "results/programnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// Points every QSettings of this process at a store of the test's own, so a
// test can never read or write the user's real settings store: a fresh
// temporary folder where the store is a file. On Windows, whose registry no
// path redirects, the application object gets a settings identity of the
// test's own instead, a registry key that is deleted at the end.
class TemporarySettings
{
public:
    TemporarySettings()
    {
        QStandardPaths::setTestModeEnabled(true);
#ifdef Q_OS_WIN
        QCoreApplication::setOrganizationName(QStringLiteral("Trelvan tests"));
        QCoreApplication::setApplicationName(QStringLiteral("%1-%2")
                                                 .arg(QCoreApplication::applicationName())
                                                 .arg(::GetCurrentProcessId()));
        key = QStringLiteral("Software\\%1\\%2")
                  .arg(QCoreApplication::organizationName(), QCoreApplication::applicationName());
#else
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
#endif
    }
#ifdef Q_OS_WIN
    ~TemporarySettings()
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t *>(key.utf16()));
        // The organisation's key too, unless another test still has its own there.
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Trelvan tests");
    }
#endif

    // The program's settings identity, as main sets it, wherever the store
    // is the temporary folder; on Windows the test's own stays.
    void useProgramIdentity()
    {
#ifndef Q_OS_WIN
        SetProgramNames();
#endif
    }

    // Where the store is: the temporary folder, or on Windows the registry
    // key as QSettings::fileName() names it.
    QString path() const
    {
#ifdef Q_OS_WIN
        return QStringLiteral("\\HKEY_CURRENT_USER\\") + key;
#else
        return dir.path();
#endif
    }

private:
#ifdef Q_OS_WIN
    QString key;
#else
    QTemporaryDir dir;
#endif
};

// QTEST_MAIN for the window's tests. Under Wine a program that showed the
// window stays in its teardown after its last test, at times, with no thread
// of its own left, until CTest's time runs out: there, once every result is
// written and the test object (with its settings) is gone, it ends at once.
#ifdef Q_OS_WIN
#define TRELVAN_WIDGET_TEST_MAIN(TestObject)                                                       \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        int status = 0;                                                                            \
        {                                                                                          \
            TestObject tc;                                                                         \
            QTEST_SET_MAIN_SOURCE_PATH                                                             \
            status = QTest::qExec(&tc, argc, argv);                                                \
        }                                                                                          \
        std::fflush(stdout);                                                                       \
        std::fflush(stderr);                                                                       \
        ::TerminateProcess(::GetCurrentProcess(), UINT(status));                                   \
        return status;                                                                             \
    }
#else
#define TRELVAN_WIDGET_TEST_MAIN(TestObject) QTEST_MAIN(TestObject)
#endif
