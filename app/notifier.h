#pragma once

#include <QString>

#include <memory>

class QWidget;
struct HostRow;

// A desktop notice: a title and a body of plain text. Neither is ever markup;
// a notifier whose desktop reads markup escapes them.
struct Notice
{
    QString title;
    QString body;
};

// Where the window's notices go. The window takes the one installed with
// TrelvanWindow::SetNotifier, else the desktop's own (DesktopNotifier).
class Notifier
{
public:
    virtual ~Notifier() = default;
    virtual void Notify(const Notice &notice) = 0;
};

// The notice of a card the network never showed: its address and MAC, its
// maker ("(adresse locale)" for a locally administered MAC) and its name.
Notice NewDeviceNotice(const HostRow &row);

// The desktop's notices: on Linux through org.freedesktop.Notifications on
// the session bus (GNOME, KDE, Xfce and the others; no tray needed), on
// Windows a message of a tray icon that comes with the first one. window is
// whose icon and name they carry; it must outlive the notifier.
std::unique_ptr<Notifier> DesktopNotifier(QWidget *window);
