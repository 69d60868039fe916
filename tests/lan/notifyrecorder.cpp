// A notification server of the LAN test's own on the session bus that
// DBUS_SESSION_BUS_ADDRESS names: it takes org.freedesktop.Notifications,
// says it reads markup in bodies, and writes every notice it gets to FILE as
// one line of JSON (app, icon, summary, body, hints). "ready" on standard
// output once it holds the name.
//
//   notifyrecorder FILE
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

#include <cstdio>

class Recorder : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit Recorder(const QString &fileName) : file(fileName) {}
    QFile file;

public slots:
    QStringList GetCapabilities()
    {
        return {QStringLiteral("body"), QStringLiteral("body-markup")};
    }
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = QStringLiteral("tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("notifyrecorder");
    }
    uint Notify(const QString &app, uint, const QString &icon, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int)
    {
        const QJsonObject notice{{QStringLiteral("app"), app},
                                 {QStringLiteral("icon"), icon},
                                 {QStringLiteral("summary"), summary},
                                 {QStringLiteral("body"), body},
                                 {QStringLiteral("hints"), QJsonObject::fromVariantMap(hints)}};
        file.write(QJsonDocument(notice).toJson(QJsonDocument::Compact) + '\n');
        file.flush();
        return ++last;
    }
    void CloseNotification(uint) {}

private:
    uint last = 0;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2)
        return 2;
    Recorder recorder(QString::fromLocal8Bit(argv[1]));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!recorder.file.open(QIODevice::WriteOnly | QIODevice::Append) ||
        !bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &recorder,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "notifyrecorder: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}

#include "notifyrecorder.moc"
