// The watch's MQTT memory against a broker that takes every message and
// acknowledges none: a publisher with its devices, connecting again and
// again to such a broker of its own on the loopback; prints the process's
// resident memory and what waits unacknowledged every so many connections.
// Run by bench/mqtt.sh, in a network namespace of its own.
#include "publish/mqttpublisher.h"
#include "silentbroker.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>

namespace {

long ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int connections = arguments.value(1, QStringLiteral("400")).toInt();
    const int devices = arguments.value(2, QStringLiteral("1000")).toInt();
    const int every = std::max(connections / 10, 1);

    SilentBroker broker(connections, false);
    publish::MqttPublisher::Options options;
    options.broker = *publish::ParseBrokerAddress(
        QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port), nullptr);
    options.agent = QStringLiteral("bench");
    options.retryMs = 10;
    options.log = [](const QString &) {};
    publish::MqttPublisher publisher(options);
    QString error;
    if (!broker.port || !publisher.Start(&error)) {
        std::fprintf(stderr, "no start: %s\n", qPrintable(error));
        return 1;
    }
    for (int i = 0; i < devices; ++i) {
        publish::Device device;
        device.seen.record.mac = {
            2, 0, 0, 0, static_cast<unsigned char>(i / 256), static_cast<unsigned char>(i % 256)};
        device.seen.present = true;
        device.row.mac = QStringLiteral("02:00:00:00:%1:%2")
                             .arg(i / 256, 2, 16, QLatin1Char('0'))
                             .arg(i % 256, 2, 16, QLatin1Char('0'));
        device.row.ip = QStringLiteral("198.51.100.%1").arg(i % 254 + 1);
        device.row.network = QStringLiteral("198.51.100.0/24");
        publisher.SetDevice(device);
    }
    std::printf("%d devices (%d retained messages), a broker that never acknowledges\n", devices,
                3 * devices);
    std::printf("%12s %14s %16s\n", "connections", "resident KiB", "unacknowledged");
    for (int shown = 0; shown < connections;) {
        if (broker.Connections() >= shown + every || broker.Connections() == connections) {
            shown = broker.Connections();
            std::printf("%12d %14ld %16zu\n", shown, ResidentKiB(), publisher.Unacknowledged());
            std::fflush(stdout);
            continue;
        }
        QThread::msleep(20);
        publisher.PublishEvent({{QStringLiteral("event"), QStringLiteral("appeared")}});
    }
    return 0;
}
