#include "app/trelvanwindow.h"
#include "results/programnames.h"
#include "results/qttranslation.h"
#include "trelvanversion.h"

#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int main(int argc, char *argv[])
{
    // The one argument of the program's own, answered before anything needs
    // a display; every other argument is the toolkit's.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("trelvan %s\n", TRELVAN_VERSION);
        return 0;
    }

    // The program's debug lines (every trelvan.* category) are for whoever
    // asks: QT_LOGGING_RULES="trelvan.*.debug=true" overrides this.
    QLoggingCategory::setFilterRules(QStringLiteral("trelvan.*.debug=false"));
    QApplication application(argc, argv);
    // "Oui"/"Non" in message boxes, French file dialogs and menus.
    LoadQtTranslation();
    SetProgramNames();
    // The installed menu entry's name: desktops match the window to it, and
    // so to its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.dantrix.trelvan"));

    int status = 0;
    {
        TrelvanWindow window(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                             Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                             Qt::WindowCloseButtonHint);
        status = window.exec();
    }
#ifdef Q_OS_WIN
    // The window is gone, its comments and history saved. Under Wine a
    // program whose history dialog was shown stayed in the system's teardown
    // after that, its window closed but the process alive: end it here.
    std::fflush(stdout);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), UINT(status));
#endif
    return status;
}
