#include "lister/history.h"

#include "lister/formats.h"
#include "lister/terminal.h"
#include "presence/historyrows.h"
#include "presence/store.h"
#include "presence/wakeonlan.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "results/hosttext.h"

#include <QRegularExpression>
#include <QStringList>

#include <optional>
#include <set>

namespace lister {

int RunHistory(const std::vector<Ipv4Network> &networks, const QString &format,
               const MakerIndex &makers, std::FILE *out, std::FILE *err)
{
    presence::Store store;
    CommentMap comments;
    LoadComments(comments);
    std::vector<HistoryRow> rows;
    for (const Ipv4Network &network : networks) {
        if (const std::optional<presence::NetworkKey> key = store.LatestNetwork(network.Cidr())) {
            const std::vector<HistoryRow> known = presence::HistoryRows(
                presence::OnePerDevice(store.Devices(*key)), comments, makers, PlaceOf(network));
            rows.insert(rows.end(), known.begin(), known.end());
        } else {
            Complain(
                err,
                store.Status().isEmpty()
                    ? QStringLiteral("aucun historique de %1 pour l'instant.").arg(network.Cidr())
                    : store.Status());
        }
    }
    return Write(out, FormatHistory(rows, format, IsTerminal(out))) ? Success : ScanFailed;
}

namespace {

// At most this many candidates listed for a name that several devices answer to.
constexpr std::size_t ListedCandidates = 10;

// What a device is known by: the user's comment, the name shown and each
// source's name.
QStringList LabelsOf(const presence::Device &device, const CommentMap &comments,
                     const MakerIndex &makers)
{
    const HostRow row = MakeHostRow(device.key, device.record, comments, makers);
    QStringList labels{row.comment, row.name, row.names.dns, row.names.mdns, row.names.netbios};
    for (QString &label : labels)
        label = label.simplified();
    labels.removeAll(QString());
    return labels;
}

// The cards of devices (the last seen first) known by text: those whose
// comment or a name is text, case aside; when none is, those whose comment
// or a name holds it. Each card once, in devices' order.
std::vector<const presence::Device *> DevicesNamed(const QString &text,
                                                   const std::vector<presence::Device> &devices,
                                                   const CommentMap &comments,
                                                   const MakerIndex &makers)
{
    const QString wanted = text.simplified();
    std::vector<const presence::Device *> exact;
    std::vector<const presence::Device *> partial;
    std::set<presence::Mac> seen;
    for (const presence::Device &device : devices) {
        if (!seen.insert(device.record.mac).second)
            continue;
        bool isExact = false;
        bool holds = false;
        for (const QString &label : LabelsOf(device, comments, makers)) {
            isExact = isExact || label.compare(wanted, Qt::CaseInsensitive) == 0;
            holds = holds || label.contains(wanted, Qt::CaseInsensitive);
        }
        if (isExact)
            exact.push_back(&device);
        else if (holds)
            partial.push_back(&device);
    }
    return exact.empty() ? partial : exact;
}

// The devices a name left to choose from, as a table for standard error.
QString CandidatesText(const std::vector<const presence::Device *> &candidates,
                       const CommentMap &comments, const MakerIndex &makers, bool terminal)
{
    std::vector<QStringList> rows{{QStringLiteral("Adresse MAC"), QStringLiteral("Adresse IP"),
                                   QStringLiteral("Fabricant"), QStringLiteral("Nom"),
                                   QStringLiteral("Commentaire")}};
    for (std::size_t i = 0; i < candidates.size() && i < ListedCandidates; ++i) {
        const HostRow row =
            MakeHostRow(candidates[i]->key, candidates[i]->record, comments, makers);
        rows.push_back({row.mac, row.ip, row.maker, row.name, OneLine(row.comment)});
    }
    QString text = AlignedTable(rows, terminal);
    if (candidates.size() > ListedCandidates)
        text += QStringLiteral("… et %1 de plus\n").arg(candidates.size() - ListedCandidates);
    return text;
}

} // namespace

int RunWake(const QString &target, std::FILE *out, std::FILE *err)
{
    static const QRegularExpression macForm(
        QStringLiteral("^[0-9A-Fa-f]{2}([:-])[0-9A-Fa-f]{2}(\\1[0-9A-Fa-f]{2}){4}$"));
    static const QRegularExpression addressForm(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    const QString text = target.trimmed();
    presence::Mac mac;
    quint32 key = 0;
    bool readable = true;
    presence::Store store;
    if (macForm.match(text).hasMatch()) {
        const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
        mac.assign(bytes.begin(), bytes.end());
    } else if (QHostAddress address(text);
               addressForm.match(text).hasMatch() && !address.isNull()) {
        key = HostKey(address.toIPv4Address());
    } else if (!text.isEmpty()) {
        // A comment or a name of a known device.
        CommentMap comments;
        LoadComments(comments);
        const std::vector<presence::Device> devices = store.AllDevices();
        const std::vector<const presence::Device *> named =
            DevicesNamed(text, devices, comments, MakerIndex());
        if (named.size() > 1) {
            MakerIndex makers;
            LoadMakers(makers);
            Complain(err, QStringLiteral("%1 désigne %2 appareils\u00a0; nommez-en un par son "
                                         "adresse MAC\u00a0:")
                              .arg(Quoted(TerminalText(text)))
                              .arg(named.size()));
            Write(err, CandidatesText(named, comments, makers, IsTerminal(err)));
            return UsageError;
        }
        if (named.empty() && devices.empty() && !store.Status().isEmpty()) {
            Complain(err, store.Status());
            return ScanFailed;
        }
        if (!named.empty())
            mac = named.front()->record.mac;
        readable = !named.empty();
    } else {
        readable = false;
    }
    if (!readable) {
        Complain(err, QStringLiteral("appareil illisible %1\u00a0; attendu une adresse MAC "
                                     "(00:11:32:AA:BB:10) ou IPv4 (192.168.1.10), ou le nom ou "
                                     "le commentaire d'un appareil connu.")
                          .arg(Quoted(TerminalText(target))));
        return UsageError;
    }

    std::vector<presence::Device> candidates;
    for (const presence::Device &device : store.AllDevices()) // the last seen first
        if (mac.empty() ? device.key == key : device.record.mac == mac)
            candidates.push_back(device);
    if (candidates.empty() && !store.Status().isEmpty()) {
        Complain(err, store.Status());
        return ScanFailed;
    }
    if (candidates.empty()) {
        Complain(err, QStringLiteral("appareil inconnu %1\u00a0: Trelvan ne l'a jamais vu.")
                          .arg(Quoted(text)));
        return UsageError;
    }
    const presence::WakeReport woken = presence::Wake(candidates);
    switch (woken.done) {
    case presence::WakeDone::Refused:
        Complain(err, woken.fault);
        return UsageError;
    case presence::WakeDone::Failed:
        Complain(err, woken.fault);
        return ScanFailed;
    case presence::WakeDone::Sent:
        break;
    }
    return Write(out, woken.sentence + QLatin1Char('\n')) ? Success : ScanFailed;
}

} // namespace lister
