#include "presence/cardlink.h"

#include "results/hosttext.h"

#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace presence {

namespace {

// The names makers and systems give a device before its owner names it,
// each a wildcard pattern matched case-insensitively against the whole name
// (without ".local"). Data: review it as such.
const char *const DefaultNamePatterns[] = {
    "iPhone",    "iPhone-*",    "iPhone (*)",  "iPad",     "iPad-*",    "iPad (*)", "iPod*",
    "Android",   "android-*",   "android_*",   "Galaxy*",  "Pixel*",    "SM-*",     "Redmi*",
    "HUAWEI*",   "OnePlus*",    "Xiaomi*",     "moto*",    "DESKTOP-*", "LAPTOP-*", "WIN-*",
    "*-PC",      "PC",          "localhost",   "MacBook*", "iMac*",     "Mac",      "Mac-mini*",
    "Apple-TV*", "Watch",       "raspberrypi", "ubuntu",   "debian",    "fedora",   "ESP_*",
    "ESP-*",     "Chromecast*", "unknown*",    "host",     "client",    "device",
};

struct Patterns
{
    std::vector<QRegularExpression> expressions;
    Patterns()
    {
        for (const char *pattern : DefaultNamePatterns)
            expressions.emplace_back(
                QRegularExpression::wildcardToRegularExpression(QString::fromLatin1(pattern)),
                QRegularExpression::CaseInsensitiveOption);
    }
};

QString Bare(const QString &name)
{
    QString bare = name.trimmed();
    while (bare.endsWith(QLatin1Char('.')))
        bare.chop(1);
    if (bare.endsWith(QLatin1String(".local"), Qt::CaseInsensitive))
        bare.chop(6);
    return bare;
}

const QString &NameOf(const HostNames &names, const QString &kind)
{
    return kind == QLatin1String("mdns") ? names.mdns : names.netbios;
}

const QString Kinds[] = {QStringLiteral("mdns"), QStringLiteral("netbios")};

// Whether a card bears a signal: its names, or what its host announced, as
// the store read it.
bool Bears(const Card &card, const SignalId &id)
{
    for (const QString &kind : Kinds)
        if (id.first == kind)
            return SignalKey(kind, NameOf(card.names, kind)) == id.second;
    return card.signalKeys.count(id) > 0;
}

// The words of text, lower case, letters and digits only.
QStringList Words(const QString &text)
{
    static const QRegularExpression notWord(QStringLiteral("[^\\p{L}\\p{N}]+"));
    return text.toCaseFolded().split(notWord, Qt::SkipEmptyParts);
}

} // namespace

Mac DeviceOf(const Card &card)
{
    return card.device.empty() ? card.mac : card.device;
}

bool PrivateMac(const Mac &mac)
{
    return !mac.empty() && (mac.front() & 0x02) != 0;
}

bool DefaultName(const QString &name)
{
    static const Patterns patterns;
    const QString bare = Bare(name);
    if (bare.isEmpty())
        return true;
    return std::any_of(patterns.expressions.begin(), patterns.expressions.end(),
                       [&bare](const QRegularExpression &expression) {
                           return expression.match(bare).hasMatch();
                       });
}

QString SignalKey(const QString &kind, const QString &name)
{
    Q_UNUSED(kind)
    if (DefaultName(name))
        return QString();
    return Bare(name).toCaseFolded();
}

QString InstanceKey(const QString &instance, const identify::Identity &identity)
{
    static const QRegularExpression suffix(QStringLiteral("\\s*(\\[[^\\]]*\\]|\\([^)]*\\))$"));
    QString base = instance.trimmed();
    base.remove(suffix);
    if (DefaultName(base))
        return QString();
    // Only its maker's and model's words, or one too short to be a name.
    const QStringList known = Words(identity.model + u' ' + identity.manufacturer);
    QStringList own = Words(base);
    own.removeIf([&known](const QString &word) { return known.contains(word); });
    if (own.join(QString()).size() < 3)
        return QString();
    return base.toCaseFolded();
}

QString UdnKey(const QString &udn)
{
    const QString key = udn.trimmed().toCaseFolded();
    if (!key.startsWith(QLatin1String("uuid:")) || key.size() > 80)
        return QString();
    std::set<QChar> digits;
    int count = 0;
    for (const QChar c : key.mid(5)) {
        if (c == u'-')
            continue;
        if (!isxdigit(c.unicode() < 128 ? c.toLatin1() : 'x'))
            return QString();
        digits.insert(c);
        ++count;
    }
    // uuid:00000000-0000-… is every unit's.
    return count >= 16 && digits.size() > 1 ? key : QString();
}

std::vector<SignalId> IdentitySignals(const identify::Identity &identity)
{
    std::vector<SignalId> found;
    const auto add = [&found](const QString &kind, const QString &key) {
        if (!key.isEmpty() &&
            std::find(found.begin(), found.end(), SignalId{kind, key}) == found.end())
            found.emplace_back(kind, key);
    };
    for (const QString &instance : identity.instances.mid(0, identify::kMaxInstances))
        add(QStringLiteral("dnssd"), InstanceKey(instance, identity));
    add(QStringLiteral("upnp"), UdnKey(identity.udn));
    return found;
}

std::vector<Signal> HostSignals(const HostRecord &host)
{
    std::vector<Signal> found;
    for (const QString &kind : Kinds)
        if (const QString key = SignalKey(kind, NameOf(host.names, kind)); !key.isEmpty())
            found.push_back({{kind, key}, NameOf(host.names, kind)});
    const identify::Identity &identity = host.identity;
    for (const SignalId &id : IdentitySignals(identity)) {
        QString text = identity.udn;
        for (const QString &instance : identity.instances)
            if (id.first == QLatin1String("dnssd") &&
                InstanceKey(instance, identity) == id.second) {
                text = instance;
                break;
            }
        found.push_back({id, text});
    }
    return found;
}

ScanSignals SignalsOf(const HostMap &hosts)
{
    ScanSignals given;
    for (const auto &[key, host] : hosts)
        for (const Signal &signal : HostSignals(host))
            ++given[signal.id];
    return given;
}

bool LinksLate(const Card &card, qint64 time)
{
    return card.stored && card.device.empty() && PrivateMac(card.mac) && time >= card.firstSeen &&
           time - card.firstSeen <= LinkWithinMs;
}

std::optional<Link> LinkOf(const HostRecord &host, const Known &known, const ScanSignals &given,
                           const std::set<Mac> &seen)
{
    if (!PrivateMac(host.mac))
        return std::nullopt;
    for (const Signal &signal : HostSignals(host)) {
        const auto count = given.find(signal.id);
        if (count == given.end() || count->second != 1)
            continue;
        std::map<Mac, const Card *> devices; // each device's card last seen with the signal
        bool answered = false;
        for (const std::map<Mac, Card> *cards : {&known.cards, &known.namesakes})
            for (const auto &[mac, card] : *cards) {
                // A card of the host's own device (it links late) is no other.
                if (mac == host.mac || DeviceOf(card) == host.mac || !Bears(card, signal.id))
                    continue;
                answered = answered || seen.count(mac) > 0;
                const Card *&last = devices[DeviceOf(card)];
                if (!last || last->lastSeen < card.lastSeen)
                    last = &card;
            }
        // A name two devices share, or the device's own card in this scan
        // too, links nothing.
        if (devices.size() != 1 || answered)
            continue;
        const auto &[device, card] = *devices.begin();
        return Link{device, card->mac, signal.id.first, signal.text};
    }
    return std::nullopt;
}

bool CommentsFollow(const std::vector<Change> &changes, CommentMap &comments)
{
    bool changed = false;
    for (const Change &change : changes) {
        if (change.kind != ChangeKind::CardLinked)
            continue;
        const auto before = comments.find(MacToText(change.previousMac));
        if (before == comments.end() || before->second.trimmed().isEmpty())
            continue;
        QString &now = comments[MacToText(change.record.mac)];
        if (!now.trimmed().isEmpty())
            continue;
        now = comments.at(MacToText(change.previousMac));
        changed = true;
    }
    return changed;
}

std::pair<QString, QString> StrongName(const HostRecord &host)
{
    for (const Signal &signal : HostSignals(host))
        if (signal.id.first != QLatin1String("upnp"))
            return {signal.id.first, signal.text};
    return {};
}

QString SignalKindText(const QString &kind)
{
    if (kind == QLatin1String("user"))
        return QStringLiteral("choix de l'utilisateur");
    if (kind == QLatin1String("mdns"))
        return QStringLiteral("mDNS");
    if (kind == QLatin1String("dnssd"))
        return QStringLiteral("DNS-SD");
    if (kind == QLatin1String("upnp"))
        return QStringLiteral("UPnP");
    return QStringLiteral("NetBIOS");
}

} // namespace presence
