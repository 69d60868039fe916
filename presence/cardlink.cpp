#include "presence/cardlink.h"

#include "results/hosttext.h"

#include <QRegularExpression>

#include <algorithm>
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

ScanSignals SignalsOf(const HostMap &hosts)
{
    ScanSignals given;
    for (const auto &[key, host] : hosts)
        for (const QString &kind : Kinds) {
            const QString signal = SignalKey(kind, NameOf(host.names, kind));
            if (!signal.isEmpty())
                ++given[{kind, signal}];
        }
    return given;
}

std::optional<Link> LinkOf(const HostRecord &host, const Known &known, const ScanSignals &given,
                           const std::set<Mac> &seen)
{
    if (!PrivateMac(host.mac))
        return std::nullopt;
    for (const QString &kind : Kinds) {
        const QString &name = NameOf(host.names, kind);
        const QString signal = SignalKey(kind, name);
        const auto count = given.find({kind, signal});
        if (signal.isEmpty() || count == given.end() || count->second != 1)
            continue;
        std::map<Mac, const Card *> devices; // each device's card last seen with the name
        bool answered = false;
        for (const std::map<Mac, Card> *cards : {&known.cards, &known.namesakes})
            for (const auto &[mac, card] : *cards) {
                if (mac == host.mac || SignalKey(kind, NameOf(card.names, kind)) != signal)
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
        return Link{device, card->mac, kind, name};
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

std::pair<QString, QString> StrongName(const HostNames &names)
{
    for (const QString &kind : Kinds)
        if (!SignalKey(kind, NameOf(names, kind)).isEmpty())
            return {kind, NameOf(names, kind)};
    return {};
}

QString SignalKindText(const QString &kind)
{
    if (kind == QLatin1String("user"))
        return QStringLiteral("choix de l'utilisateur");
    return kind == QLatin1String("mdns") ? QStringLiteral("mDNS") : QStringLiteral("NetBIOS");
}

} // namespace presence
