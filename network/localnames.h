#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <memory>

class QUdpSocket;

// What a host says its own name is.
struct LocalNames
{
    QString mdns;    // the target of the PTR record of its reverse name
    QString netbios; // its unique workstation name
};

// Asks one host of the chosen network its own name, the way hosts answer
// without any server: multicast DNS (the PTR record of its in-addr.arpa
// name, asked of the host on port 5353 and of the group 224.0.0.251 on the
// chosen interface only) and a NetBIOS node status request (UDP 137).
// Construction sends the questions from an unprivileged port of the
// interface's address; Wait collects the answers while the caller has done
// other work. Nothing is asked of an address outside the network, and the
// group is asked only when the system takes the interface's address for its
// multicast (never its default interface).
//
// Only the host speaks for itself: an answer counts when it comes from the
// address asked (the group's answers too) and the source's port, carries
// the random id of its own question (one for multicast DNS, another for
// NetBIOS) and names what was asked; a name that breaks the rule of
// network/namerule.h is dropped. A query reads at most MaxDatagrams
// datagrams, and its wait ends at its deadline whatever arrives.
class LocalNameQuery
{
public:
    // Addresses and mask in host order (QHostAddress::toIPv4Address()).
    LocalNameQuery(quint32 host, quint32 fromAddress, quint32 mask);
    ~LocalNameQuery();
    LocalNameQuery(const LocalNameQuery &) = delete;
    LocalNameQuery &operator=(const LocalNameQuery &) = delete;

    // The answers that came until each source's deadline after the start;
    // returns at once when both have answered.
    LocalNames Wait();

    static constexpr int MdnsTimeoutMs = 500;
    static constexpr int NetbiosTimeoutMs = 500;
    // Questions still unanswered are asked once more after this long.
    static constexpr int ResendAfterMs = 200;
    // Datagrams read per query, answers and anything else together: a
    // host's answers, twice asked, are a handful.
    static constexpr int MaxDatagrams = 32;

    // Answers every later query at once in place of the network (tests put a
    // fake here, so that nothing leaves the process); nullptr restores the
    // network. Returns the previous one.
    using Function = LocalNames (*)(const QString &address);
    static Function SetFunction(Function function);

private:
    void Send(bool mdnsToo, bool netbiosToo);
    void Receive();

    quint32 address;
    quint32 interfaceAddress;
    quint32 netmask;
    quint16 mdnsId;
    quint16 netbiosId;
    bool multicast = false;      // the group may be asked
    bool mdnsSettled = false;    // answered, or its name dropped
    bool netbiosSettled = false; // the same for NetBIOS
    int datagramsLeft = MaxDatagrams;
    QElapsedTimer sinceStart;
    std::unique_ptr<QUdpSocket> socket;
    LocalNames answer;
};
