#pragma once

#include "network/gateways.h"
#include "network/hostname.h"
#include "network/localnames.h"
#include "network/networklist.h"
#include "platform/ipv6neighbours.h"
#include "platform/sendarp.h"
#include "scan/identification.h"

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>

#include <cstring>
#include <map>
#include <vector>

// In-process stand-ins for the machine's interfaces, for address resolution
// and for name lookups, so that no test ever touches a real network. Every test that
// builds a window or runs a scan installs them first (SafeNetwork).
namespace fakes {

struct FakeHost
{
    std::vector<unsigned char> mac;
    unsigned long delayMs = 0;
};

struct FakeLan
{
    QMutex mutex;
    QList<NetworkAddress> interfaces;
    std::map<quint32, FakeHost> hosts;        // keyed by network-order address
    std::map<QString, QString> names;         // address text -> host name
    std::map<QString, LocalNames> localNames; // address text -> its own names
    std::vector<quint32> asked;               // every address resolution asked for
    unsigned long silenceMs = 0;              // how long an unanswered request blocks
    int waiting = 0, mostWaiting = 0;         // requests blocked at once, now and at most

    static FakeLan &instance()
    {
        static FakeLan lan;
        return lan;
    }
};

inline quint32 NetworkOrder(const char *address)
{
    const quint32 host = QHostAddress(QString::fromLatin1(address)).toIPv4Address();
    return qToBigEndian(host);
}

inline QList<NetworkAddress> ListFakeInterfaces()
{
    FakeLan &lan = FakeLan::instance();
    QMutexLocker locker(&lan.mutex);
    return lan.interfaces;
}

inline quint32 FakeSendARP(quint32 destIp, quint32, void *macAddr, quint32 *physAddrLen)
{
    FakeLan &lan = FakeLan::instance();
    FakeHost host;
    {
        QMutexLocker locker(&lan.mutex);
        lan.asked.push_back(destIp);
        const auto found = lan.hosts.find(destIp);
        if (found != lan.hosts.end())
            host = found->second;
        else
            host.delayMs = lan.silenceMs;
    }
    if (host.mac.empty()) {
        {
            QMutexLocker locker(&lan.mutex);
            lan.mostWaiting = std::max(lan.mostWaiting, ++lan.waiting);
        }
        QThread::msleep(host.delayMs);
        QMutexLocker locker(&lan.mutex);
        --lan.waiting;
        *physAddrLen = 0;
        return 31; // ERROR_GEN_FAILURE, as SendARP reports no answer
    }
    if (host.delayMs)
        QThread::msleep(host.delayMs);
    const quint32 length = std::min<quint32>(*physAddrLen, quint32(host.mac.size()));
    std::memcpy(macAddr, host.mac.data(), length);
    *physAddrLen = length;
    return 0;
}

// Knows the names given to setName; for any other address, no answer.
inline QHostInfo FakeReverseLookup(const QString &address)
{
    FakeLan &lan = FakeLan::instance();
    QMutexLocker locker(&lan.mutex);
    QHostInfo answer;
    const auto found = lan.names.find(address);
    if (found == lan.names.end()) {
        answer.setError(QHostInfo::HostNotFound);
        return answer;
    }
    answer.setHostName(found->second);
    answer.setAddresses({QHostAddress(address)});
    return answer;
}

// The names given to setLocalNames; for any other address, none.
inline LocalNames FakeLocalNames(const QString &address)
{
    FakeLan &lan = FakeLan::instance();
    QMutexLocker locker(&lan.mutex);
    const auto found = lan.localNames.find(address);
    return found == lan.localNames.end() ? LocalNames() : found->second;
}

// No route through a gateway: no network of the machine's real routing table.
inline QList<GatewayRoute> NoGateways()
{
    return {};
}

// Installs the fakes for its lifetime and empties them on the way out.
// What a cast device says of itself.
inline identify::Findings CastFindings(const QString &model)
{
    identify::Findings findings;
    identify::dnssd::Service cast;
    cast.type = QStringLiteral("_googlecast._tcp");
    cast.txt = {{"md", model}};
    findings.dnssd.services = {cast};
    return findings;
}

// Identification rounds that ask nothing on any network: each round's
// targets kept; answered by the test (Manual), or on the next turn of the
// event loop with nothing (Quiet) or every host a cast device (Cast).
class TestAsker : public identify::Asker
{
public:
    enum Answers
    {
        Quiet,
        Cast,
        Manual
    };
    explicit TestAsker(Answers answering = Quiet) : answers(answering) {}

    std::vector<std::vector<identify::Target>> rounds;

    void Start(const Ipv4Network &network, const std::vector<identify::Target> &targets) override
    {
        if (running)
            return;
        running = true;
        asking = network;
        rounds.push_back(targets);
        identify::FindingsMap found;
        for (const identify::Target &target : targets)
            if (answers == Cast)
                found[target.key] = CastFindings(QStringLiteral("Chromecast <b>1</b>"));
        if (answers != Manual)
            QTimer::singleShot(0, this, [this, found] { Answer(found); });
    }
    bool Running() const override { return running; }
    void Answer(const identify::FindingsMap &found)
    {
        running = false;
        emit Finished(asking, found);
    }

private:
    Answers answers;
    bool running = false;
    Ipv4Network asking;
};

// No echo leaves a test; the table of IPv6 neighbours is empty.
inline bool NoEcho(quint32)
{
    return false;
}

inline bool NoIpv6Neighbours(quint32, std::vector<platform::Ipv6Neighbour> *rows)
{
    rows->clear();
    return true;
}

inline std::unique_ptr<identify::Asker> MakeQuietAsker()
{
    return std::make_unique<TestAsker>();
}

inline std::unique_ptr<identify::Asker> MakeCastAsker()
{
    return std::make_unique<TestAsker>(TestAsker::Cast);
}

class SafeNetwork
{
public:
    SafeNetwork()
    {
        reset();
        SetInterfaceLister(&ListFakeInterfaces);
        SetGatewayLister(&NoGateways);
        platform::SetSendArpFunction(&FakeSendARP);
        ReverseLookup::SetFunction(&FakeReverseLookup);
        LocalNameQuery::SetFunction(&FakeLocalNames);
        Identification::SetAskerMaker(&MakeQuietAsker);
        platform::SetIpv6Functions({&NoEcho, &NoIpv6Neighbours});
    }
    ~SafeNetwork()
    {
        SetInterfaceLister(&ListFakeInterfaces); // keep the fakes: threads may linger
        reset();
    }
    SafeNetwork(const SafeNetwork &) = delete;
    SafeNetwork &operator=(const SafeNetwork &) = delete;

    void reset()
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.interfaces.clear();
        lan.hosts.clear();
        lan.names.clear();
        lan.localNames.clear();
        lan.asked.clear();
        lan.silenceMs = 0;
        lan.mostWaiting = 0;
    }
    int mostWaiting()
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        return lan.mostWaiting;
    }
    void setSilence(unsigned long ms)
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.silenceMs = ms;
    }
    void setInterfaces(const QList<NetworkAddress> &interfaces)
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.interfaces = interfaces;
    }
    // A host that answers. It must live on loopback: the probe goes on to
    // connect to its port 80 for real.
    void addHost(const char *address, std::vector<unsigned char> mac, unsigned long delayMs = 0)
    {
        if (!QHostAddress(QString::fromLatin1(address)).isLoopback())
            qFatal("fake hosts must live on loopback, not %s", address);
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.hosts[NetworkOrder(address)] = FakeHost{std::move(mac), delayMs};
    }
    void setName(const char *address, const QString &name)
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.names[QString::fromLatin1(address)] = name;
    }
    void setLocalNames(const char *address, const QString &mdns, const QString &netbios)
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        lan.localNames[QString::fromLatin1(address)] = LocalNames{mdns, netbios};
    }
    std::vector<quint32> asked()
    {
        FakeLan &lan = FakeLan::instance();
        QMutexLocker locker(&lan.mutex);
        return lan.asked;
    }
};

inline NetworkAddress Entry(const char *ip, const char *netmask, bool loopback = false)
{
    NetworkAddress address;
    address.ip = QHostAddress(QString::fromLatin1(ip));
    if (netmask)
        address.netmask = QHostAddress(QString::fromLatin1(netmask));
    address.loopback = loopback;
    return address;
}

} // namespace fakes
