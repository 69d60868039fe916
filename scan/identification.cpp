#include "scan/identification.h"

#include <QDateTime>

#include <algorithm>
#include <atomic>
#include <optional>
#include <set>
#include <tuple>

namespace {

using Mac = std::vector<unsigned char>;

// What the devices said, per card: the latest non-empty answer of each
// source, and when and at which address its web page was last read.
struct Card
{
    identify::Findings said;
    qint64 pageTime = 0;
    quint32 pageKey = 0;
    bool pageRead = false;
};

// The round under way: its network and, per host key, the card asked and
// whether its page was asked for.
struct Round
{
    Ipv4Network network;
    qint64 time = 0;
    std::map<quint32, std::pair<Mac, bool>> asked;
};

bool PageSaid(const identify::web::PageHead &page)
{
    return !page.title.isEmpty() || !page.server.isEmpty() || !page.certificateName.isEmpty();
}

// What a card's device said, from any source.
bool SaidAnything(const identify::Findings &findings)
{
    return !findings.dnssd.isEmpty() || !findings.upnp.isEmpty() || PageSaid(findings.page);
}

bool FromDevice(const identify::Identity &identity)
{
    for (const identify::Evidence &evidence : identity.evidence)
        if (evidence.source == QLatin1String("mdns") || evidence.source == QLatin1String("upnp") ||
            evidence.source == QLatin1String("web"))
            return true;
    return !identity.model.isEmpty() || !identity.friendlyName.isEmpty() ||
           !identity.services.isEmpty();
}

bool Same(const identify::Identity &a, const identify::Identity &b)
{
    return a.type == b.type && a.evidence == b.evidence && a.model == b.model &&
           a.friendlyName == b.friendlyName && a.services == b.services &&
           a.thisMachine == b.thisMachine && a.instances == b.instances && a.udn == b.udn;
}

// Engine-only identities cached at most (one per maker, nearly); the cache
// starts over beyond.
constexpr std::size_t kMaxCachedMakers = 1024;
// Cards whose answers are kept, and identities known, at most: beyond, a
// round keeps only its own cards' (a flood of made-up cards cannot grow
// them without end).
constexpr std::size_t kMaxCards = 16384;

} // namespace

struct Identification::Private
{
    const MakerIndex &makers;
    std::unique_ptr<identify::Asker> asker;
    std::function<qint64()> now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    // By network (its CIDR and interface): when its last round began.
    std::map<QString, qint64> lastRound;
    std::map<Mac, Card> cards;
    CardIdentities known;
    std::optional<Round> round;
    // Identities made of the maker, the gateway and this machine alone.
    std::map<std::tuple<QString, bool, bool>, identify::Identity> engineOnly;

    Private(const MakerIndex &makerIndex, std::unique_ptr<identify::Asker> roundAsker)
        : makers(makerIndex), asker(std::move(roundAsker))
    {
    }

    // What the engine knows of the host at key on network.
    identify::Findings EngineFindings(const Ipv4Network &network, quint32 key, const Mac &mac) const
    {
        identify::Findings findings;
        // "(adresse locale)" names no maker.
        if (const Maker maker = LookupMaker(makers, mac); !maker.locallyAdministered)
            findings.maker = maker.name.trimmed();
        const quint32 address = HostOrderAddress(key);
        findings.gateway = network.gateway != 0 && address == network.gateway;
        findings.thisMachine = address == network.ip.toIPv4Address();
        return findings;
    }

    identify::Identity EngineOnly(const identify::Findings &engine)
    {
        const auto cacheKey = std::make_tuple(engine.maker, engine.gateway, engine.thisMachine);
        const auto cached = engineOnly.find(cacheKey);
        if (cached != engineOnly.end())
            return cached->second;
        if (engineOnly.size() >= kMaxCachedMakers)
            engineOnly.clear();
        return engineOnly[cacheKey] = identify::Identify(engine);
    }

    void Finished(Identification *self, const Ipv4Network &network,
                  const identify::FindingsMap &found);
};

void Identification::Private::Finished(Identification *self, const Ipv4Network &network,
                                       const identify::FindingsMap &found)
{
    if (!round)
        return;
    const Round ended = std::move(*round);
    round.reset();
    CardIdentities changed;
    for (const auto &[key, asked] : ended.asked) {
        const auto &[mac, page] = asked;
        Card &card = cards[mac];
        if (page) {
            card.pageRead = true;
            card.pageTime = ended.time;
            card.pageKey = key;
        }
        // Only the hosts asked count: a finding of another key is nobody's.
        if (const auto said = found.find(key); said != found.end()) {
            const identify::Findings &answer = said->second;
            if (!answer.dnssd.isEmpty())
                card.said.dnssd = answer.dnssd;
            if (!answer.upnp.isEmpty())
                card.said.upnp = answer.upnp;
            if (PageSaid(answer.page))
                card.said.page = answer.page;
        }
        identify::Findings findings = card.said;
        const identify::Findings engine = EngineFindings(ended.network, key, mac);
        findings.maker = engine.maker;
        findings.gateway = engine.gateway;
        findings.thisMachine = engine.thisMachine;
        const auto before = known.find(mac);
        identify::Identity identity;
        if (SaidAnything(card.said))
            identity = identify::Identify(findings);
        else if (before != known.end() && FromDevice(before->second))
            continue; // what it said before stays until it says more
        else
            identity = EngineOnly(engine);
        if (before != known.end() && Same(before->second, identity))
            continue;
        if (before == known.end() && Same(identify::Identity(), identity))
            continue;
        known[mac] = identity;
        changed[mac] = identity;
    }
    const auto bound = [&ended](auto &byCard) {
        if (byCard.size() <= kMaxCards)
            return;
        std::set<Mac> asked;
        for (const auto &[key, card] : ended.asked)
            asked.insert(card.first);
        for (auto entry = byCard.begin(); entry != byCard.end();)
            entry = asked.count(entry->first) ? std::next(entry) : byCard.erase(entry);
    };
    bound(cards);
    bound(known);
    emit self->Identified(network, changed);
}

namespace {

std::atomic<Identification::AskerMaker> installedAskerMaker{nullptr};

std::unique_ptr<identify::Asker> MadeAsker()
{
    const Identification::AskerMaker maker = installedAskerMaker.load();
    return maker ? maker() : identify::MakeNetworkAsker();
}

} // namespace

void Identification::SetAskerMaker(AskerMaker maker)
{
    installedAskerMaker.store(maker);
}

Identification::Identification(const MakerIndex &makers, QObject *parent)
    : Identification(makers, MadeAsker(), parent)
{
}

Identification::Identification(const MakerIndex &makers, std::unique_ptr<identify::Asker> asker,
                               QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(makers, std::move(asker)))
{
    connect(d->asker.get(), &identify::Asker::Finished, this,
            [this](const Ipv4Network &network, const identify::FindingsMap &found) {
                d->Finished(this, network, found);
            });
}

Identification::~Identification() = default;

void Identification::SetClock(std::function<qint64()> now)
{
    d->now = std::move(now);
}

void Identification::Remember(const CardIdentities &known)
{
    // What a round learnt since is newer than the store's.
    for (const auto &[mac, identity] : known)
        d->known.emplace(mac, identity);
}

const CardIdentities &Identification::Known() const
{
    return d->known;
}

void Identification::Attach(const Ipv4Network &network, HostMap &hosts) const
{
    for (auto &[key, host] : hosts) {
        if (host.mac.empty())
            continue;
        const auto known = d->known.find(host.mac);
        if (known == d->known.end()) {
            host.identity = d->EngineOnly(d->EngineFindings(network, key, host.mac));
            continue;
        }
        host.identity = known->second;
        host.identity.thisMachine = HostOrderAddress(key) == network.ip.toIPv4Address();
    }
}

bool Identification::Scanned(const Ipv4Network &network, const HostMap &hosts)
{
#ifdef TRELVAN_NO_IDENTIFY
    // A build that measures what identification costs: no round, ever.
    Q_UNUSED(network)
    Q_UNUSED(hosts)
    return false;
#else
    if (d->round || d->asker->Running())
        return false;
    const qint64 now = d->now();
    const QString networkKey = network.Cidr() + QLatin1Char('%') + network.interfaceName;
    const auto last = d->lastRound.find(networkKey);
    // A private card never asked makes it due sooner.
    const bool unasked = std::any_of(hosts.begin(), hosts.end(), [this](const auto &entry) {
        const std::vector<unsigned char> &mac = entry.second.mac;
        return !mac.empty() && (mac.front() & 0x02) != 0 && !d->cards.count(mac);
    });
    const qint64 period = unasked ? kNewCardPeriodMs : kNetworkPeriodMs;
    // A clock set back makes the network due rather than never.
    if (last != d->lastRound.end() && now - last->second < period && now >= last->second)
        return false;
    Round round{network, now, {}};
    std::vector<identify::Target> targets;
    for (const auto &[key, host] : hosts) {
        if (host.mac.empty())
            continue;
        identify::Target target{key, host.mac, host.webServer, host.secureWebServer, false};
        if (target.web || target.secureWeb) {
            const auto card = d->cards.find(host.mac);
            target.page =
                card == d->cards.end() || !card->second.pageRead || card->second.pageKey != key ||
                now - card->second.pageTime >= kPagePeriodMs || now < card->second.pageTime;
        }
        round.asked[key] = {host.mac, target.page};
        targets.push_back(std::move(target));
    }
    d->lastRound[networkKey] = now;
    d->round = std::move(round);
    d->asker->Start(network, targets);
    return true;
#endif
}

bool Identification::Running() const
{
    return d->round.has_value();
}
