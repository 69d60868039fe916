#pragma once

#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QWidget;
struct HostRow;
namespace identify {
struct Identity;
}

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

// What a device is, as a sentence names it: its type and its model
// ("imprimante HP OfficeJet Pro 9010"), "cet ordinateur" for the machine's
// own; empty when neither its type nor its model is known.
QString DeviceText(const identify::Identity &identity);

// The notice of a card the network never showed, with what its device is
// where that is known ("Nouvel appareil : imprimante HP OfficeJet Pro 9010",
// else "Nouvel appareil sur le réseau"): its address and MAC, its maker
// ("(adresse locale)" for a locally administered MAC) and its name (the
// first of HintNames).
Notice NewDeviceNotice(const HostRow &row, const identify::Identity &identity);
// The same with the identity the row carries.
Notice NewDeviceNotice(const HostRow &row);

// The one notice of the new cards of one scan on network ("198.51.100.0/24"),
// rows in address order: none for no row, NewDeviceNotice for one, else
// "N nouveaux appareils sur RÉSEAU" naming the first three (each by its
// name and what its device is, else by its maker).
std::vector<Notice> NewDevicesNotices(const std::vector<HostRow> &rows, const QString &network);

// Cards never seen before refused on network by the bound on new cards.
Notice FloodNotice(int count, const QString &network);

// The gateway's address of network answering with another card: what ARP
// spoofing of the gateway looks like.
Notice GatewayChangedNotice(const QString &network, const QString &mac, const QString &previousMac);

// What one scan tells the desktop, given its notices by importance (the
// gateway's card, a flood, then the new cards): nothing, the one notice, or
// the first with the titles of the others under its text, so that a scan
// never gives more than one notice.
std::optional<Notice> OneNotice(const std::vector<Notice> &notices);

// The desktop's notices: on Linux through org.freedesktop.Notifications on
// the session bus (GNOME, KDE, Xfce and the others; no tray needed), on
// Windows a message of a tray icon that comes with the first one. window is
// whose icon and name they carry; it must outlive the notifier.
std::unique_ptr<Notifier> DesktopNotifier(QWidget *window);
