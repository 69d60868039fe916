// Records scans in a presence store for presence/faults.sh: "scan" on its
// input records one, "run" records them until killed; each answers "written=1
// changes=ID,... status=TEXT". A scan: 40 hosts with long names and, a change
// each time, a card never seen at 198.51.100.100.
#include "network/gateways.h"
#include "presence/store.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QtEndian>

#include <cstdio>

namespace {
QList<GatewayRoute> NoRoutes()
{
    return {};
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: presencewriter FILE\n");
        return 2;
    }
    SetGatewayLister(&NoRoutes);
    presence::Store store(QString::fromLocal8Bit(argv[1]));
    QTextStream in(stdin);
    QTextStream out(stdout);
    bool running = false;
    for (quint32 scan = 1;; ++scan) {
        if (!running) {
            const QString command = in.readLine();
            if (command == QLatin1String("run"))
                running = true;
            else if (command != QLatin1String("scan"))
                return 0;
        }
        presence::ScanResult result{{QHostAddress(QStringLiteral("198.51.100.1")),
                                     QHostAddress(QStringLiteral("255.255.255.0")),
                                     QStringLiteral("eth0")},
                                    {},
                                    0};
        for (quint32 host = 10; host < 50; ++host)
            result.hosts[qToBigEndian(0xC6336400 | host)] =
                HostRecord({2, 0, 0, 0, 0, static_cast<unsigned char>(host)}, false,
                           QString(200, QLatin1Char(char('a' + host % 26))));
        result.hosts[qToBigEndian(0xC6336464)] = HostRecord(
            {6, 0, static_cast<unsigned char>(scan >> 24), static_cast<unsigned char>(scan >> 16),
             static_cast<unsigned char>(scan >> 8), static_cast<unsigned char>(scan)},
            false);
        const presence::ScanChanges changes = store.Record(result);
        out << "written=" << int(changes.written) << " changes=";
        for (const presence::Change &change : changes.changes)
            out << change.id << ',';
        out << " status=" << changes.status << Qt::endl;
    }
}
