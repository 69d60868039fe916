#include "presence/wakeonlan.h"

#include "network/gateways.h"
#include "network/networklist.h"
#include "results/hosttext.h"
#include "scan/arpthread.h"

#include <QThread>
#include <QUdpSocket>

namespace presence {

QByteArray MagicPacket(const Mac &mac)
{
    if (mac.size() != 6)
        return QByteArray();
    QByteArray packet(6, char(0xFF));
    const QByteArray card(reinterpret_cast<const char *>(mac.data()), 6);
    for (int i = 0; i < 16; ++i)
        packet += card;
    return packet;
}

WakePlan PlanWake(const Device &device)
{
    WakePlan plan;
    plan.device = device;
    if (device.record.mac.size() != 6) {
        plan.refusal = QStringLiteral("sans adresse MAC Ethernet connue, l'appareil ne peut être "
                                      "réveillé.");
        return plan;
    }
    const QString cidr = device.network.cidr;
    const QHostAddress network(cidr.section(QLatin1Char('/'), 0, 0));
    const int prefix = cidr.section(QLatin1Char('/'), 1).toInt();
    const quint32 mask = prefix <= 0 ? 0 : ~quint32(0) << (32 - prefix);
    if (network.protocol() != QAbstractSocket::IPv4Protocol || prefix < 1 || prefix > 30) {
        plan.refusal = QStringLiteral("le réseau %1 n'a pas d'adresse de diffusion.").arg(cidr);
        return plan;
    }
    const quint32 base = network.toIPv4Address() & mask;
    const NetworkAddress *here = nullptr;
    const QList<NetworkAddress> networks = ScannableNetworks();
    for (const NetworkAddress &entry : networks)
        if (entry.netmask.toIPv4Address() == mask && (entry.ip.toIPv4Address() & mask) == base) {
            here = &entry;
            break;
        }
    if (!here) {
        plan.refusal = QStringLiteral("l'appareil a été vu sur %1, qui n'est pas un réseau de "
                                      "cette machine en ce moment.")
                           .arg(cidr);
        return plan;
    }
    // The same addresses may be another network (a café's, not the home's):
    // its gateway tells.
    NetworkKey current{cidr, {}};
    if (const quint32 gateway = GatewayOf(here->ip.toIPv4Address(), mask, here->interfaceName)) {
        current.gatewayMac = ResolveHardwareAddress(HostKey(gateway));
        if (current.gatewayMac.empty()) {
            plan.refusal =
                QStringLiteral("la passerelle de %1 ne répond pas\u00a0: rien ne dit que "
                               "c'est le réseau où l'appareil a été vu.")
                    .arg(cidr);
            return plan;
        }
    }
    if (!(current == device.network)) {
        plan.refusal = QStringLiteral("l'appareil a été vu sur un autre réseau %1 que celui de "
                                      "cette machine (une autre passerelle).")
                           .arg(cidr);
        return plan;
    }
    plan.source = here->ip;
    plan.broadcast = QHostAddress(base | ~mask);
    return plan;
}

bool SendWake(const WakePlan &plan, QString *error)
{
    const QByteArray packet = MagicPacket(plan.device.record.mac);
    QUdpSocket socket;
    // Qt lets its UDP sockets broadcast (SO_BROADCAST).
    if (!plan.refusal.isEmpty() || packet.isEmpty() || plan.broadcast.isNull() ||
        !socket.bind(plan.source, 0)) {
        *error = plan.refusal.isEmpty() ? socket.errorString() : plan.refusal;
        return false;
    }
    for (int i = 0; i < WakeRepeats; ++i) {
        if (i > 0)
            QThread::msleep(WakeGapMs);
        if (socket.writeDatagram(packet, plan.broadcast, WakePort) != packet.size()) {
            *error = socket.errorString();
            return false;
        }
    }
    return true;
}

QString WakeStatusText(const WakePlan &plan, const QString &macText)
{
    return QStringLiteral("Paquet de réveil envoyé à %0 sur %1 (diffusion %2, port %3)\u00a0; "
                          "l'appareil apparaîtra à sa prochaine réponse.")
        .arg(macText, plan.device.network.cidr, plan.broadcast.toString())
        .arg(WakePort);
}

WakeReport Wake(const std::vector<Device> &devices)
{
    WakeReport report;
    bool plannable = false;
    for (const Device &device : devices) {
        WakePlan plan = PlanWake(device);
        plannable = plan.refusal.isEmpty();
        if (plannable || report.plan.refusal.isEmpty())
            report.plan = std::move(plan);
        if (plannable)
            break;
    }
    if (!plannable) {
        report.fault = report.plan.refusal;
        report.sentence = QStringLiteral("Réveil impossible\u00a0: %0").arg(report.fault);
        return report;
    }
    QString error;
    if (!SendWake(report.plan, &error)) {
        report.done = WakeDone::Failed;
        report.fault = QStringLiteral("le paquet de réveil n'est pas parti\u00a0: %1.").arg(error);
        report.sentence =
            QStringLiteral("Le paquet de réveil n'est pas parti\u00a0: %0.").arg(error);
        return report;
    }
    report.done = WakeDone::Sent;
    report.sentence = WakeStatusText(report.plan, MacToText(report.plan.device.record.mac));
    return report;
}

} // namespace presence
