#include "identify/identity.h"

#include "identify/freetext.h"
#include "identify/typerules.h"

#include <algorithm>

namespace identify {

namespace {

struct Clued
{
    Clue clue;
    QString text;
    Evidence evidence;
};

const char *const kPrinterServices[] = {"_ipp._tcp", "_ipps._tcp", "_printer._tcp",
                                        "_pdl-datastream._tcp"};

// The value of key in the TXT of the first service of that type.
QString TxtOf(const dnssd::HostServices &host, const char *type, const char *key)
{
    for (const dnssd::Service &service : host.services)
        if (service.type == QLatin1String(type))
            return service.Txt(key);
    return {};
}

QString UpnpModel(const upnp::Device &device)
{
    if (device.modelName.isEmpty())
        return {};
    const QString maker = device.manufacturer.section(QLatin1Char(' '), 0, 0);
    if (maker.isEmpty() || device.modelName.startsWith(maker, Qt::CaseInsensitive))
        return device.modelName;
    return CollapsedText(device.manufacturer + QLatin1Char(' ') + device.modelName);
}

QList<Clued> Clues(const Findings &findings)
{
    QList<Clued> clues;
    if (findings.thisMachine)
        clues.append({Clue::ThisMachine, {}, {QStringLiteral("self"), {}}});
    if (findings.gateway)
        clues.append({Clue::Gateway, {}, {QStringLiteral("gateway"), {}}});
    const QString mdns = QStringLiteral("mdns");
    for (const dnssd::Service &service : findings.dnssd.services) {
        clues.append({Clue::Service, service.type, {mdns, service.type}});
        for (const dnssd::TxtPair &pair : service.txt) {
            const QString said = service.type + QLatin1Char(' ') + QString::fromLatin1(pair.key) +
                                 QLatin1Char('=') + pair.value;
            clues.append({Clue::Txt, said, {mdns, said}});
            const bool model =
                (service.type == QLatin1String("_googlecast._tcp") && pair.key == "md") ||
                (service.type == QLatin1String("_device-info._tcp") && pair.key == "model") ||
                (pair.key == "ty" && std::any_of(std::begin(kPrinterServices),
                                                 std::end(kPrinterServices), [&](const char *type) {
                                                     return service.type == QLatin1String(type);
                                                 }));
            if (model && !pair.value.isEmpty())
                clues.append({Clue::Model, pair.value, {mdns, said}});
        }
    }
    const upnp::Device &device = findings.upnp;
    const QString upnpSource = QStringLiteral("upnp");
    if (!device.deviceType.isEmpty())
        clues.append({Clue::UpnpDevice, device.deviceType, {upnpSource, device.deviceType}});
    if (const QString model = UpnpModel(device); !model.isEmpty())
        clues.append({Clue::Model, model, {upnpSource, model}});
    if (!device.manufacturer.isEmpty())
        clues.append({Clue::Maker, device.manufacturer, {upnpSource, device.manufacturer}});
    const QString web = QStringLiteral("web");
    if (!findings.page.title.isEmpty())
        clues.append({Clue::Title, findings.page.title, {web, findings.page.title}});
    if (!findings.page.server.isEmpty())
        clues.append({Clue::Server,
                      findings.page.server,
                      {web, QStringLiteral("Server: ") + findings.page.server}});
    if (!findings.maker.isEmpty())
        clues.append({Clue::Maker, findings.maker, {QStringLiteral("maker"), findings.maker}});
    return clues;
}

bool Matches(const TypeRule &rule, const Clued &clued)
{
    return rule.clue == clued.clue &&
           (rule.clue == Clue::ThisMachine || rule.clue == Clue::Gateway ||
            MatchesPattern(clued.text, rule.pattern));
}

QString Model(const Findings &findings)
{
    const dnssd::HostServices &host = findings.dnssd;
    QString model = TxtOf(host, "_googlecast._tcp", "md");
    for (const char *type : kPrinterServices)
        if (model.isEmpty())
            model = TxtOf(host, type, "ty");
    if (model.isEmpty())
        model = UpnpModel(findings.upnp);
    if (model.isEmpty())
        model = TxtOf(host, "_device-info._tcp", "model");
    return model;
}

QString FriendlyName(const Findings &findings)
{
    QString name = TxtOf(findings.dnssd, "_googlecast._tcp", "fn");
    if (name.isEmpty())
        name = findings.upnp.friendlyName;
    for (const dnssd::Service &service : findings.dnssd.services)
        if (name.isEmpty())
            name = service.instance;
    return name;
}

// How the tooltip names a source: "mDNS _ipp._tcp", "UPnP"...
QString SourceText(const Evidence &evidence)
{
    if (evidence.source == QLatin1String("mdns"))
        return QStringLiteral("mDNS ") + evidence.detail.section(QLatin1Char(' '), 0, 0);
    if (evidence.source == QLatin1String("upnp"))
        return QStringLiteral("UPnP");
    if (evidence.source == QLatin1String("web"))
        return QStringLiteral("page web");
    if (evidence.source == QLatin1String("maker"))
        return QStringLiteral("fabricant");
    if (evidence.source == QLatin1String("gateway"))
        return QStringLiteral("passerelle");
    return ThisMachineLabel();
}

} // namespace

Identity Identify(const Findings &findings)
{
    Identity identity;
    identity.thisMachine = findings.thisMachine;
    identity.model = Model(findings);
    identity.friendlyName = FriendlyName(findings);
    identity.manufacturer = findings.upnp.manufacturer;
    identity.services = findings.dnssd.Types();
    for (const dnssd::Service &service : findings.dnssd.services)
        if (!service.instance.isEmpty() && !identity.instances.contains(service.instance) &&
            identity.instances.size() < kMaxInstances)
            identity.instances.append(service.instance);
    identity.udn = findings.upnp.udn;

    const QList<Clued> clues = Clues(findings);
    // The strongest rule that a clue matches; the first one on a tie.
    const TypeRule *best = nullptr;
    for (std::size_t i = 0; i < kTypeRuleCount; ++i) {
        const TypeRule &rule = kTypeRules[i];
        if (best && rule.rank <= best->rank)
            continue;
        for (const Clued &clued : clues)
            if (Matches(rule, clued)) {
                best = &rule;
                break;
            }
    }
    if (!best)
        return identity;
    identity.type = best->type;
    // Each clue for that type once, by the rank of its strongest rule.
    QList<QPair<int, Evidence>> ranked;
    for (const Clued &clued : clues) {
        int rank = -1;
        for (std::size_t i = 0; i < kTypeRuleCount; ++i)
            if (kTypeRules[i].type == best->type && kTypeRules[i].rank > rank &&
                Matches(kTypeRules[i], clued))
                rank = kTypeRules[i].rank;
        if (rank >= 0)
            ranked.append({rank, clued.evidence});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[rank, evidence] : ranked)
        if (!identity.evidence.contains(evidence))
            identity.evidence.append(evidence);
    return identity;
}

QString ShownType(const Identity &identity)
{
    if (identity.thisMachine)
        return ThisMachineLabel();
    QString label = TypeLabel(identity.type);
    if (!label.isEmpty())
        label[0] = label[0].toUpper();
    return label;
}

QString Tooltip(const Identity &identity)
{
    if (identity.type == DeviceType::Unknown && !identity.thisMachine && identity.model.isEmpty() &&
        identity.friendlyName.isEmpty())
        return {};
    QString tip = ShownType(identity);
    if (identity.thisMachine)
        tip[0] = tip[0].toUpper();
    if (!identity.model.isEmpty())
        tip += QStringLiteral(" — ") + identity.model;
    if (!identity.friendlyName.isEmpty() &&
        identity.friendlyName.compare(identity.model, Qt::CaseInsensitive) != 0)
        tip += QStringLiteral(" « ") + identity.friendlyName + QStringLiteral(" »");
    // The sources in one order whatever their strength: what the device
    // said first, then what the program knows of it.
    QStringList sources;
    for (const char *source : {"mdns", "upnp", "web", "maker", "gateway"})
        for (const Evidence &evidence : identity.evidence)
            if (const QString text = SourceText(evidence);
                evidence.source == QLatin1String(source) && !sources.contains(text))
                sources.append(text);
    if (!sources.isEmpty())
        tip += QStringLiteral(", d'après : ") + sources.join(QStringLiteral(", "));
    return tip;
}

} // namespace identify
