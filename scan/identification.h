#pragma once

// What each device of the scanned networks is, kept per card: the engine
// asks the hosts of a network at its first scan and then at most every
// kNetworkPeriodMs (a web page at most every kPagePeriodMs per card, or when
// the card's address changed), or kNewCardPeriodMs after its last round when
// a private card it never asked answers (a phone back with another card, so
// that what it announces links it to its device soon), never delaying the
// scan's own table; what a
// round learnt comes with Identified and stays on the cards' records from
// then on. Lives in the thread of the front end that scans (its Asker's
// sockets run on that thread's event loop).

#include "identify/asker.h"
#include "makers/makerlookup.h"
#include "network/ipv4network.h"
#include "scan/hostrecord.h"

#include <QObject>
#include <QtGlobal>

#include <functional>
#include <map>
#include <memory>
#include <vector>

// Identities by card (the MAC's bytes).
using CardIdentities = std::map<std::vector<unsigned char>, identify::Identity>;

class Identification : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kNetworkPeriodMs = 5 * 60 * 1000;
    static constexpr qint64 kPagePeriodMs = 60 * 60 * 1000;
    static constexpr qint64 kNewCardPeriodMs = 60 * 1000;

    // With the real Asker (DNS-SD, SSDP, the web page); makers must outlive
    // it.
    explicit Identification(const MakerIndex &makers, QObject *parent = nullptr);
    // With an Asker of the caller's (tests).
    Identification(const MakerIndex &makers, std::unique_ptr<identify::Asker> asker,
                   QObject *parent = nullptr);
    ~Identification() override;

    // Where the first constructor's Asker comes from; nullptr (the default):
    // identify::MakeNetworkAsker. Tests set one that asks nothing before any
    // Identification is made.
    using AskerMaker = std::unique_ptr<identify::Asker> (*)();
    static void SetAskerMaker(AskerMaker maker);

    // Milliseconds since 1970 (tests give a clock of their own).
    void SetClock(std::function<qint64()> now);

    // What was learnt before (the presence store's), kept as known.
    void Remember(const CardIdentities &known);
    const CardIdentities &Known() const;

    // Puts on each record the identity known for its card, with what the
    // engine knows itself (the maker, the network's gateway, this machine).
    void Attach(const Ipv4Network &network, HostMap &hosts) const;

    // After a network's scan: starts a round on it when it is due; true when
    // one started. The round ends at most identify::kRoundDeadlineMs later.
    bool Scanned(const Ipv4Network &network, const HostMap &hosts);
    bool Running() const;

signals:
    // A round ended: the cards whose identity it changed (for the store and
    // the rows); empty when nothing changed.
    void Identified(const Ipv4Network &network, const CardIdentities &changed);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
