// The LAN test's notification server on the bus DBUS_SESSION_BUS_ADDRESS
// names: it says it reads markup in bodies and writes each notice to FILE
// as a line of JSON, with the time it came (milliseconds since the epoch);
// "ready" on standard output once it holds the name.
//
//   notifyrecorder FILE
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDateTime>
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
    uint Notify(const QString &app, uint, const QString &icon, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int)
    {
        const QJsonObject notice{{QStringLiteral("app"), app},
                                 {QStringLiteral("icon"), icon},
                                 {QStringLiteral("summary"), summary},
                                 {QStringLiteral("body"), body},
                                 {QStringLiteral("hints"), QJsonObject::fromVariantMap(hints)},
                                 {QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch()}};
        file.write(QJsonDocument(notice).toJson(QJsonDocument::Compact) + '\n');
        file.flush();
        return ++last;
    }

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
