#include "lister/history.h"

#include "lister/formats.h"
#include "lister/terminal.h"
#include "presence/store.h"
#include "presence/wakeonlan.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QRegularExpression>

#include <optional>

namespace lister {

int RunHistory(const std::vector<NetworkChoice> &networks, const QString &format,
               const MakerIndex &makers, std::FILE *out, std::FILE *err)
{
    presence::Store store;
    CommentMap comments;
    LoadComments(comments);
    std::vector<HistoryRow> rows;
    for (const NetworkChoice &network : networks) {
        if (const std::optional<presence::NetworkKey> key = store.LatestNetwork(network.cidr)) {
            for (const presence::Device &device : store.Devices(*key))
                rows.push_back(
                    {MakeHostRow(device.key, device.record, comments, makers, PlaceOf(network)),
                     device.firstSeen, device.lastSeen, device.present});
        } else {
            Complain(
                err,
                store.Status().isEmpty()
                    ? QStringLiteral("aucun historique de %1 pour l'instant.").arg(network.cidr)
                    : store.Status());
        }
    }
    return Write(out, FormatHistory(rows, format, IsTerminal(out))) ? Success : ScanFailed;
}

int RunWake(const QString &target, std::FILE *out, std::FILE *err)
{
    static const QRegularExpression macForm(
        QStringLiteral("^[0-9A-Fa-f]{2}([:-])[0-9A-Fa-f]{2}(\\1[0-9A-Fa-f]{2}){4}$"));
    static const QRegularExpression addressForm(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    const QString text = target.trimmed();
    presence::Mac mac;
    quint32 key = 0;
    if (macForm.match(text).hasMatch()) {
        const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
        mac.assign(bytes.begin(), bytes.end());
    } else if (QHostAddress address(text);
               addressForm.match(text).hasMatch() && !address.isNull()) {
        key = HostKey(address.toIPv4Address());
    } else {
        Complain(err, QStringLiteral("appareil illisible %1\u00a0; attendu une adresse MAC "
                                     "(00:11:32:AA:BB:10) ou IPv4 (192.168.1.10).")
                          .arg(Quoted(target)));
        return UsageError;
    }

    presence::Store store;
    std::optional<presence::WakePlan> plan;
    QString refusal;
    for (const presence::Device &device : store.AllDevices()) { // the last seen first
        if (mac.empty() ? device.key != key : device.record.mac != mac)
            continue;
        plan = presence::PlanWake(device);
        if (plan->refusal.isEmpty())
            break;
        if (refusal.isEmpty())
            refusal = plan->refusal;
        plan.reset();
    }
    if (!plan && refusal.isEmpty() && !store.Status().isEmpty()) {
        Complain(err, store.Status());
        return ScanFailed;
    }
    if (!plan) {
        Complain(err, !refusal.isEmpty()
                          ? refusal
                          : QStringLiteral("appareil inconnu %1\u00a0: Trelvan ne l'a jamais vu.")
                                .arg(Quoted(text)));
        return UsageError;
    }
    QString error;
    if (!presence::SendWake(*plan, &error)) {
        Complain(err, QStringLiteral("le paquet de réveil n'est pas parti\u00a0: %1.").arg(error));
        return ScanFailed;
    }
    return Write(out, presence::WakeStatusText(*plan, MacToText(plan->device.record.mac)) +
                          QLatin1Char('\n'))
               ? Success
               : ScanFailed;
}

} // namespace lister
