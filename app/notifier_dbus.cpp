// The desktop's notices on Linux: org.freedesktop.Notifications on the
// session bus, which GNOME, KDE, Xfce and the other desktops serve.
#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStringList>
#include <QVariantMap>

#include <vector>

namespace {

Q_LOGGING_CATEGORY(lcNotices, "trelvan.notices", QtInfoMsg)

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// Whether the session names its bus. Without its address in the
// environment, asking for it would have the D-Bus library look elsewhere and
// even launch a bus of its own: no address, no notice.
bool SessionBusKnown()
{
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

class DBusNotifier : public QObject, public Notifier
{
public:
    void Notify(const Notice &notice) override
    {
        if (state == State::NoBus)
            return;
        if (state == State::Unasked) {
            if (!SessionBusKnown() || !QDBusConnection::sessionBus().isConnected()) {
                qCInfo(lcNotices) << "no session bus: the new devices are told to nobody";
                state = State::NoBus;
                return;
            }
            AskCapabilities();
        }
        waiting.push_back(notice);
        if (state == State::Ready)
            SendWaiting();
    }

private:
    enum class State
    {
        Unasked, // no notice yet
        Asking,  // the server's capabilities asked, notices waiting for them
        Ready,
        NoBus,
    };

    // Whether the server reads the body as markup decides how it is sent.
    void AskCapabilities()
    {
        state = State::Asking;
        const QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface,
                                                                 QStringLiteral("GetCapabilities"));
        auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher *answered) {
                    const QDBusPendingReply<QStringList> reply = *answered;
                    // A server that does not say is taken to read markup:
                    // escaped text is then shown as text either way.
                    markup =
                        reply.isError() || reply.value().contains(QStringLiteral("body-markup"));
                    if (reply.isError())
                        qCInfo(lcNotices).noquote()
                            << "notification server:" << reply.error().message();
                    answered->deleteLater();
                    state = State::Ready;
                    SendWaiting();
                });
    }

    void SendWaiting()
    {
        for (const Notice &notice : waiting) {
            QDBusMessage call =
                QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
            // The menu entry's name is also its icon's.
            const QString entry = QGuiApplication::desktopFileName();
            QVariantMap hints{{QStringLiteral("category"), QStringLiteral("network")}};
            if (!entry.isEmpty())
                hints.insert(QStringLiteral("desktop-entry"), entry);
            // The body may be read as markup (a name such as "<b>x</b>");
            // the summary never is.
            call << QStringLiteral("Trelvan") << uint(0) << entry << notice.title
                 << (markup ? notice.body.toHtmlEscaped() : notice.body) << QStringList() << hints
                 << int(-1);
            auto *watcher =
                new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
            connect(watcher, &QDBusPendingCallWatcher::finished, this,
                    [](QDBusPendingCallWatcher *answered) {
                        if (answered->isError())
                            qCInfo(lcNotices).noquote()
                                << "notice not shown:" << answered->error().message();
                        answered->deleteLater();
                    });
        }
        waiting.clear();
    }

    State state = State::Unasked;
    bool markup = true;
    std::vector<Notice> waiting;
};

} // namespace

std::unique_ptr<Notifier> DesktopNotifier(QWidget *)
{
    return std::make_unique<DBusNotifier>();
}
