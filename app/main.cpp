#include "app/trelvanwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Dantrix"));
    QCoreApplication::setApplicationName(QStringLiteral("Trelvan"));
    // The installed menu entry's name: desktops match the window to it, and
    // so to its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.dantrix.trelvan"));

    TrelvanWindow window(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                         Qt::WindowCloseButtonHint);
    return window.exec();
}
