// The desktop's notices on Windows: the message of a tray icon, which
// Windows 10 and 11 show as a notification. The icon comes with the first
// notice and stays while the window does; a click on the message brings the
// window to the front.
#include "app/notifier.h"

#include <QLoggingCategory>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

Q_LOGGING_CATEGORY(lcNotices, "trelvan.notices", QtInfoMsg)

constexpr int ShownMs = 15000;

class TrayNotifier : public Notifier
{
public:
    explicit TrayNotifier(QWidget *shownWindow) : window(shownWindow) {}

    void Notify(const Notice &notice) override
    {
        if (!tray) {
            if (!QSystemTrayIcon::isSystemTrayAvailable()) {
                qCInfo(lcNotices) << "no notification area: the new devices are told to nobody";
                return;
            }
            tray = new QSystemTrayIcon(window->windowIcon(), window);
            tray->setToolTip(window->windowTitle());
            QWidget *shown = window;
            QObject::connect(tray, &QSystemTrayIcon::messageClicked, shown, [shown] {
                shown->showNormal();
                shown->raise();
                shown->activateWindow();
            });
            tray->show();
        }
        // Windows shows both as plain text.
        tray->showMessage(notice.title, notice.body, QSystemTrayIcon::Information, ShownMs);
    }

private:
    QWidget *window;
    QSystemTrayIcon *tray = nullptr; // the window's child
};

} // namespace

std::unique_ptr<Notifier> DesktopNotifier(QWidget *window)
{
    return std::make_unique<TrayNotifier>(window);
}
