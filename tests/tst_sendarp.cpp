// The parts of the Linux address resolution that need no network: frames,
// filter programs (run here by a small classic-BPF interpreter), netlink
// parsing, the choice of interface, the neighbour-table budget, stopping,
// a second card answering for one address, and the resolver helper's
// records, refusals and limits.

#include "platform/linux/descriptorgate.h"
#include "platform/linux/entrybudget.h"
#include "platform/linux/helperfile.h"
#include "platform/linux/helperplaces.h"
#include "platform/linux/helpersession.h"
#include "platform/linux/neighbourarp.h"
#include "platform/linux/netlinkmessages.h"
#include "platform/linux/packetarp.h"
#include "platform/linux/resolverprotocol.h"
#include "platform/sendarp.h"
#include "resolver/limits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

using namespace platform::linuxarp;

namespace {

uint32_t Ip(const char *text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1)
        qFatal("bad address %s", text);
    return address.s_addr;
}

const MacAddress kOwnMac = {0x02, 0x54, 0x52, 0x00, 0x00, 0x01};
const MacAddress kPeerMac = {0x02, 0x54, 0x52, 0x00, 0x00, 0x02};
const MacAddress kTwinMac = {0x02, 0x54, 0x52, 0x00, 0x00, 0x03};

// Runs a classic BPF program the way the kernel does for the instructions
// our programs use; a load past the end drops the packet. Returns -1 for an
// instruction it does not know or a program that runs off its end.
int64_t RunFilter(const std::vector<sock_filter> &program, const QByteArray &packet)
{
    const auto *data = reinterpret_cast<const uint8_t *>(packet.constData());
    const std::size_t size = static_cast<std::size_t>(packet.size());
    uint32_t accumulator = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &instruction = program[pc];
        const uint32_t k = instruction.k;
        switch (instruction.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (k + 4 > size)
                return 0;
            accumulator = uint32_t(data[k]) << 24 | uint32_t(data[k + 1]) << 16 |
                          uint32_t(data[k + 2]) << 8 | data[k + 3];
            break;
        case BPF_LD | BPF_H | BPF_ABS:
            if (k + 2 > size)
                return 0;
            accumulator = uint32_t(data[k]) << 8 | data[k + 1];
            break;
        case BPF_LD | BPF_B | BPF_ABS:
            if (k + 1 > size)
                return 0;
            accumulator = data[k];
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += accumulator == k ? instruction.jt : instruction.jf;
            break;
        case BPF_JMP | BPF_JA:
            pc += k;
            break;
        case BPF_RET | BPF_K:
            return k;
        default:
            return -1;
        }
    }
    return -1;
}

// What the kernel checks before it attaches a program.
bool IsValidProgram(const std::vector<sock_filter> &program)
{
    if (program.empty() || program.size() > BPF_MAXINSNS)
        return false;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &instruction = program[pc];
        if (BPF_CLASS(instruction.code) == BPF_JMP) {
            if (pc + 1 + instruction.jt >= program.size() ||
                pc + 1 + instruction.jf >= program.size())
                return false;
        }
    }
    return BPF_CLASS(program.back().code) == BPF_RET;
}

QByteArray ArpFrame(uint16_t operation, const MacAddress &senderMac, const char *senderIp,
                    const char *targetIp)
{
    ArpPacket packet = BuildArpRequest(senderMac, Ip(senderIp), Ip(targetIp));
    packet[6] = static_cast<uint8_t>(operation >> 8);
    packet[7] = static_cast<uint8_t>(operation);
    return QByteArray(reinterpret_cast<const char *>(packet.data()),
                      static_cast<int>(packet.size()));
}

// A netlink datagram builder for neighbour messages.
class Netlink
{
public:
    Netlink &neighbour(uint16_t type, uint32_t sequence, int ifindex, uint16_t state,
                       const char *address, const MacAddress *mac = nullptr,
                       uint8_t family = AF_INET, bool destinationFirst = true)
    {
        QByteArray body(NLMSG_ALIGN(sizeof(ndmsg)), '\0');
        ndmsg neighbour{};
        neighbour.ndm_family = family;
        neighbour.ndm_ifindex = ifindex;
        neighbour.ndm_state = state;
        std::memcpy(body.data(), &neighbour, sizeof neighbour);
        const uint32_t ip = Ip(address);
        QByteArray destination = attribute(NDA_DST, &ip, sizeof ip);
        QByteArray rest;
        if (mac)
            rest += attribute(NDA_LLADDR, mac->data(), mac->size());
        uint32_t probes = 3;
        rest += attribute(NDA_PROBES, &probes, sizeof probes);
        body += destinationFirst ? destination + rest : rest + destination;
        return message(type, sequence, body);
    }

    // An IPv6 row of a dump, as the kernel writes it: NDA_DST, NDA_LLADDR,
    // NDA_CACHEINFO.
    Netlink &neighbour6(uint32_t sequence, int ifindex, uint16_t state, const char *address,
                        const QByteArray &mac, uint32_t updated = 0, uint8_t flags = 0)
    {
        QByteArray body(NLMSG_ALIGN(sizeof(ndmsg)), '\0');
        ndmsg neighbour{};
        neighbour.ndm_family = AF_INET6;
        neighbour.ndm_ifindex = ifindex;
        neighbour.ndm_state = state;
        neighbour.ndm_flags = flags;
        std::memcpy(body.data(), &neighbour, sizeof neighbour);
        in6_addr ip{};
        ::inet_pton(AF_INET6, address, &ip);
        body += attribute(NDA_DST, &ip, sizeof ip);
        body += attribute(NDA_LLADDR, mac.constData(), std::size_t(mac.size()));
        nda_cacheinfo times{};
        times.ndm_updated = updated;
        body += attribute(NDA_CACHEINFO, &times, sizeof times);
        return message(RTM_NEWNEIGH, sequence, body);
    }

    Netlink &error(uint32_t sequence, int error)
    {
        nlmsgerr payload{};
        payload.error = -error;
        return message(NLMSG_ERROR, sequence,
                       QByteArray(reinterpret_cast<const char *>(&payload), sizeof payload));
    }

    Netlink &message(uint16_t type, uint32_t sequence, const QByteArray &body)
    {
        nlmsghdr header{};
        header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body.size()));
        header.nlmsg_type = type;
        header.nlmsg_seq = sequence;
        QByteArray message(reinterpret_cast<const char *>(&header), sizeof header);
        message += body;
        message.append(static_cast<int>(NLMSG_ALIGN(message.size()) - message.size()), '\0');
        bytes += message;
        return *this;
    }

    static QByteArray attribute(uint16_t type, const void *value, std::size_t size)
    {
        rtattr header{};
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        header.rta_type = type;
        QByteArray attribute(reinterpret_cast<const char *>(&header), sizeof header);
        attribute.append(static_cast<const char *>(value), static_cast<int>(size));
        attribute.append(static_cast<int>(RTA_ALIGN(attribute.size()) - attribute.size()), '\0');
        return attribute;
    }

    NeighbourReport scan(int ifindex, const char *address, uint32_t sequence) const
    {
        NeighbourReport report;
        ScanNeighbourMessages(reinterpret_cast<const uint8_t *>(bytes.constData()),
                              static_cast<std::size_t>(bytes.size()), ifindex, Ip(address),
                              sequence, &report);
        return report;
    }

    QByteArray bytes;
};

LinkInterface Ethernet(const char *name, int index, std::vector<InterfaceAddress> addresses,
                       unsigned flags = IFF_UP | IFF_RUNNING | IFF_BROADCAST)
{
    LinkInterface link;
    link.name = name;
    link.index = index;
    link.flags = flags;
    link.hardwareType = ARPHRD_ETHER;
    link.hardwareAddress = {0x02, 0x54, 0x52, 0x00, 0x00, static_cast<uint8_t>(index)};
    link.addresses = std::move(addresses);
    return link;
}

InterfaceAddress Address(const char *ip, int prefix)
{
    return InterfaceAddress{Ip(ip), prefix};
}

} // namespace

class TestSendArp : public QObject
{
    Q_OBJECT

private slots:
    void requestFrameCarriesSenderAndTarget();
    void secondCardIsToldOnce();
    void secondCardsStayBoundedUnderAFlood();
    void replyFilter_data();
    void replyFilter();
    void neighbourFilter_data();
    void neighbourFilter();
    void neighbourQueryAsksForOneAddress();
    void neighbourMessages();
    void ipv6NeighbourDump();
    void resolvedStates_data();
    void resolvedStates();
    void tableThreshold();
    void route_data();
    void route();
    void interfacesOfThisMachine();
    void timingsFallBackToKernelDefaults();
    void gateLetsInUpToItsCapacity();
    void budgetAdmitsUpToItsCapacity();
    void budgetAdmitsInArrivalOrder();
    void budgetShrinksAfterAnOverflow();
    void badArgumentsAreRefused();
    void addressesWithoutHardwareAddressAreRefused();
    void seamReplacesAndRestoresTheResolution();
    void stopEndsEveryWait();
    void helperReadsRequestsAndRefusesTheRest();
    void budgetBoundsEverySecond();
    void helperAsksEachAddressOnce();
    void onlyTheGenuineHelperIsStarted();
    void clientKeepsItsDeadlines();
    void clientEndsAHelperThatAnswersOutOfTurn_data();
    void clientEndsAHelperThatAnswersOutOfTurn();
};

void TestSendArp::requestFrameCarriesSenderAndTarget()
{
    const ArpPacket packet = BuildArpRequest(kOwnMac, Ip("198.51.100.1"), Ip("198.51.100.2"));
    const uint8_t expected[kArpPacketSize] = {
        0x00, 0x01,                         // Ethernet
        0x08, 0x00,                         // IPv4
        6,    4,                            // address lengths
        0x00, 0x01,                         // request
        0x02, 0x54, 0x52, 0x00, 0x00, 0x01, // sender MAC
        198,  51,   100,  1,                // sender IP
        0,    0,    0,    0,    0,    0,    // target MAC: asked for
        198,  51,   100,  2,                // target IP
    };
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(packet.data()), kArpPacketSize),
             QByteArray(reinterpret_cast<const char *>(expected), kArpPacketSize));
}

void TestSendArp::secondCardIsToldOnce()
{
    using namespace std::chrono_literals;
    ArpEngine engine; // no socket: the frames come from here
    std::vector<ArpEngine::Result> ended;
    const auto hear = [&](const MacAddress &card, const char *sender, int ifindex = 2) {
        ended.clear();
        const QByteArray frame = ArpFrame(ARPOP_REPLY, card, sender, "198.51.100.1");
        engine.Hear(ifindex, reinterpret_cast<const uint8_t *>(frame.constData()),
                    std::size_t(frame.size()), &ended);
    };
    const uint32_t address = Ip("198.51.100.9");
    const Clock::time_point scan = Clock::now();
    MacAddress other{};

    // A card that answers nothing asked is no second card.
    hear(kTwinMac, "198.51.100.9");
    QVERIFY(ended.empty());
    engine.Start(1, 2, kOwnMac, Ip("198.51.100.1"), address);
    hear(kPeerMac, "198.51.100.9");
    QCOMPARE(ended.size(), std::size_t(1));
    QVERIFY(ended[0].id == 1 && ended[0].answered && !ended[0].otherCard);
    QVERIFY(ended[0].mac == kPeerMac);
    hear(kPeerMac, "198.51.100.9");    // the same card again
    hear(kTwinMac, "198.51.100.9", 3); // on another network
    QVERIFY(ended.empty());
    QVERIFY(!engine.Answers().Other(address, kPeerMac, scan, &other));

    // The second card: told once, the answer unchanged.
    hear(kTwinMac, "198.51.100.9");
    QCOMPARE(ended.size(), std::size_t(1));
    QVERIFY(ended[0].otherCard && ended[0].id == 0 && !ended[0].answered);
    QCOMPARE(ended[0].address, address);
    QVERIFY(ended[0].mac == kTwinMac);
    hear(kTwinMac, "198.51.100.9");
    hear(kOwnMac, "198.51.100.9");
    QVERIFY(ended.empty());
    QVERIFY(engine.Answers().Other(address, kPeerMac, scan, &other));
    QVERIFY(other == kTwinMac);
    QVERIFY(engine.Answers().Other(address, kTwinMac, scan, &other));
    QVERIFY(other == kPeerMac);
    QVERIFY(!engine.Answers().Other(Ip("198.51.100.10"), kPeerMac, scan, &other));

    // The next scan's answer starts the address afresh: an earlier scan's
    // second card is not this one's.
    const Clock::time_point next = Clock::now();
    engine.Start(2, 2, kOwnMac, Ip("198.51.100.1"), address);
    hear(kPeerMac, "198.51.100.9");
    QVERIFY(ended.size() == 1 && ended[0].id == 2);
    QVERIFY(!engine.Answers().Other(address, kPeerMac, next, &other));
    QVERIFY(!engine.Answers().Other(address, kPeerMac, scan, &other));

    // Heard only while a request of ours is answered; kept a couple of
    // minutes, then forgotten.
    AnswerBook book;
    book.Answered(2, address, kPeerMac, scan);
    book.Answered(2, Ip("198.51.100.11"), kPeerMac, scan);
    QVERIFY(!book.Heard(2, Ip("198.51.100.11"), kTwinMac, scan + AnswerBook::kListen + 1ms));
    QVERIFY(book.Heard(2, address, kTwinMac, scan + 100ms));
    QVERIFY(book.Other(address, kPeerMac, scan, &other));
    book.Answered(2, Ip("198.51.100.10"), kPeerMac, scan + AnswerBook::kKeep + 1s);
    QVERIFY(!book.Other(address, kPeerMac, scan, &other));
    QVERIFY(!book.Heard(2, address, kOwnMac, scan + AnswerBook::kKeep + 1s));
    QCOMPARE(book.Size(), std::size_t(1));
    QVERIFY(!book.Other(Ip("198.51.100.11"), kPeerMac, scan, &other));
}

void TestSendArp::secondCardsStayBoundedUnderAFlood()
{
    // One answered address, then a flood: every address of a /16 with a
    // fresh card, and that address with thousands of cards. One second
    // card is told; nothing else is kept.
    ArpEngine engine;
    std::vector<ArpEngine::Result> ended;
    const uint32_t address = Ip("198.51.100.9");
    const Clock::time_point scan = Clock::now();
    engine.Start(1, 2, kOwnMac, Ip("198.51.100.1"), address);
    QByteArray frame = ArpFrame(ARPOP_REPLY, kPeerMac, "198.51.100.9", "198.51.100.1");
    const auto hear = [&] {
        engine.Hear(2, reinterpret_cast<const uint8_t *>(frame.constData()),
                    std::size_t(frame.size()), &ended);
    };
    hear();
    QCOMPARE(ended.size(), std::size_t(1));
    ended.clear();
    std::size_t told = 0;
    for (uint32_t i = 0; i < 100000; ++i) {
        const MacAddress card = {0x02, 0xF1, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i), 1};
        frame = ArpFrame(ARPOP_REPLY, card, "198.51.100.9", "198.51.100.1");
        hear();
        const uint32_t anywhere = htonl(0xC6330000 | (i & 0xFFFF)); // 198.51.0.0/16
        std::memcpy(frame.data() + 14, &anywhere, 4);
        hear();
        told += ended.size();
        ended.clear();
    }
    QCOMPARE(told, std::size_t(1));
    QCOMPARE(engine.Answers().Size(), std::size_t(1));
    MacAddress other{};
    QVERIFY(engine.Answers().Other(address, kPeerMac, scan, &other));
    QVERIFY(other == (MacAddress{0x02, 0xF1, 0, 0, 0, 1})); // the first one

    // Answers themselves are bounded too: a /16 and more, all answering.
    AnswerBook book;
    for (uint32_t i = 0; i < AnswerBook::kMost + 1000; ++i)
        book.Answered(2, htonl(0xC6330000 + i), kPeerMac, scan);
    QCOMPARE(book.Size(), AnswerBook::kMost);
    QVERIFY(!book.Heard(2, htonl(0xC6330000), kTwinMac, scan)); // the oldest went
    QVERIFY(book.Heard(2, htonl(0xC6330000 + AnswerBook::kMost), kTwinMac, scan));
}

void TestSendArp::replyFilter_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("accepted");

    const QByteArray reply = ArpFrame(ARPOP_REPLY, kPeerMac, "198.51.100.2", "198.51.100.1");
    QTest::newRow("reply") << reply << true;
    QTest::newRow("with Ethernet padding") << reply + QByteArray(18, '\0') << true;
    QTest::newRow("request from the asked address")
        << ArpFrame(ARPOP_REQUEST, kPeerMac, "198.51.100.2", "198.51.100.1") << false;
    QTest::newRow("reverse reply")
        << ArpFrame(4, kPeerMac, "198.51.100.2", "198.51.100.1") << false;
    QByteArray other = reply;
    other[1] = 6; // IEEE 802 hardware
    QTest::newRow("other hardware type") << other << false;
    other = reply;
    other[2] = char(0x86);
    other[3] = char(0xDD);
    QTest::newRow("other protocol") << other << false;
    other = reply;
    other[4] = 8;
    QTest::newRow("other address length") << other << false;
    QTest::newRow("cut short") << reply.left(17) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestSendArp::replyFilter()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, accepted);

    const std::vector<sock_filter> program = ArpReplyFilter();
    QVERIFY(IsValidProgram(program));
    const int64_t verdict = RunFilter(program, frame);
    QVERIFY(verdict >= 0);
    QCOMPARE(verdict != 0, accepted);
    if (accepted)
        QVERIFY(verdict >= frame.size());

    // The check in user space agrees with the one in the kernel.
    MacAddress mac{};
    uint32_t sender = 0;
    QCOMPARE(ParseArpReply(reinterpret_cast<const uint8_t *>(frame.constData()),
                           static_cast<std::size_t>(frame.size()), &sender, &mac),
             accepted && frame.size() >= int(kArpPacketSize));
    if (accepted) {
        QVERIFY(mac == kPeerMac);
        QCOMPARE(sender, Ip("198.51.100.2"));
    }
}

void TestSendArp::neighbourFilter_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("new entry for the address")
        << Netlink().neighbour(RTM_NEWNEIGH, 0, 3, NUD_REACHABLE, "198.51.100.2", &kPeerMac).bytes
        << true;
    QTest::newRow("entry of the address removed")
        << Netlink().neighbour(RTM_DELNEIGH, 0, 3, NUD_FAILED, "198.51.100.2").bytes << true;
    QTest::newRow("entry for another address")
        << Netlink().neighbour(RTM_NEWNEIGH, 0, 3, NUD_REACHABLE, "198.51.100.9", &kPeerMac).bytes
        << false;
    QTest::newRow("IPv6 entry") << Netlink()
                                       .neighbour(RTM_NEWNEIGH, 0, 3, NUD_REACHABLE, "198.51.100.2",
                                                  &kPeerMac, AF_INET6)
                                       .bytes
                                << false;
    QTest::newRow("attributes in another order")
        << Netlink()
               .neighbour(RTM_NEWNEIGH, 0, 3, NUD_REACHABLE, "198.51.100.9", &kPeerMac, AF_INET,
                          false)
               .bytes
        << true;
    QTest::newRow("error") << Netlink().error(5, ENOENT).bytes << true;
    QTest::newRow("end of dump") << Netlink().message(NLMSG_DONE, 5, QByteArray(4, '\0')).bytes
                                 << true;
    QTest::newRow("link change") << Netlink().message(RTM_NEWLINK, 0, QByteArray(16, '\0')).bytes
                                 << false;
    QTest::newRow("route change") << Netlink().message(RTM_NEWROUTE, 0, QByteArray(12, '\0')).bytes
                                  << false;
}

void TestSendArp::neighbourFilter()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);

    const std::vector<sock_filter> program = NeighbourFilter(Ip("198.51.100.2"));
    QVERIFY(IsValidProgram(program));
    const int64_t verdict = RunFilter(program, datagram);
    QVERIFY(verdict >= 0);
    QCOMPARE(verdict != 0, accepted);
    if (accepted)
        QVERIFY(verdict >= datagram.size());
}

void TestSendArp::neighbourQueryAsksForOneAddress()
{
    const std::vector<uint8_t> query = BuildNeighbourQuery(7, Ip("198.51.100.2"), 42);
    QCOMPARE(query.size(), std::size_t(NLMSG_LENGTH(sizeof(ndmsg)) + RTA_LENGTH(4)));
    nlmsghdr header;
    std::memcpy(&header, query.data(), sizeof header);
    QCOMPARE(header.nlmsg_len, uint32_t(query.size()));
    QCOMPARE(header.nlmsg_type, uint16_t(RTM_GETNEIGH));
    QCOMPARE(header.nlmsg_flags, uint16_t(NLM_F_REQUEST)); // one entry, not a dump
    QCOMPARE(header.nlmsg_seq, 42u);
    ndmsg neighbour;
    std::memcpy(&neighbour, query.data() + NLMSG_HDRLEN, sizeof neighbour);
    QCOMPARE(int(neighbour.ndm_family), AF_INET);
    QCOMPARE(neighbour.ndm_ifindex, 7);
    // The kernel refuses a single-entry query with any of these set.
    QCOMPARE(int(neighbour.ndm_state), 0);
    QCOMPARE(int(neighbour.ndm_type), 0);
    QCOMPARE(int(neighbour.ndm_flags), 0);

    // Our own parser reads the address back out of it, as the kernel would.
    Netlink datagram;
    datagram.bytes = QByteArray(reinterpret_cast<const char *>(query.data()), int(query.size()));
    datagram.bytes[4] = char(RTM_NEWNEIGH & 0xFF);
    datagram.bytes[5] = char(RTM_NEWNEIGH >> 8);
    const NeighbourReport report = datagram.scan(7, "198.51.100.2", 42);
    QVERIFY(report.mentioned);
    QVERIFY(report.replied);
    QVERIFY(!report.hasMac);
}

void TestSendArp::neighbourMessages()
{
    const int ifindex = 3;
    const char *address = "198.51.100.2";

    NeighbourReport report =
        Netlink()
            .neighbour(RTM_NEWNEIGH, 9, ifindex, NUD_REACHABLE, address, &kPeerMac)
            .scan(ifindex, address, 9);
    QVERIFY(report.mentioned && report.replied && report.hasMac);
    QCOMPARE(report.state, uint16_t(NUD_REACHABLE));
    QVERIFY(report.mac == kPeerMac);
    QCOMPARE(report.error, 0);

    // A notice (sequence 0) tells the state but is no answer to our query.
    report = Netlink()
                 .neighbour(RTM_NEWNEIGH, 0, ifindex, NUD_STALE, address, &kPeerMac)
                 .scan(ifindex, address, 9);
    QVERIFY(report.mentioned && !report.replied && report.hasMac);
    QCOMPARE(report.state, uint16_t(NUD_STALE));

    report = Netlink()
                 .neighbour(RTM_NEWNEIGH, 9, ifindex, NUD_INCOMPLETE, address)
                 .scan(ifindex, address, 9);
    QVERIFY(report.mentioned && report.replied && !report.hasMac);
    QCOMPARE(report.state, uint16_t(NUD_INCOMPLETE));

    report = Netlink().error(9, ENOENT).scan(ifindex, address, 9);
    QVERIFY(report.replied && !report.mentioned);
    QCOMPARE(report.error, ENOENT);
    // A code the kernel never sends (INT_MIN cannot even be negated).
    for (const int code : {INT_MIN, -4096, 5}) {
        nlmsgerr payload{};
        payload.error = code;
        report = Netlink()
                     .message(NLMSG_ERROR, 9,
                              QByteArray(reinterpret_cast<const char *>(&payload), sizeof payload))
                     .scan(ifindex, address, 9);
        QVERIFY(report.replied);
        QCOMPARE(report.error, EPROTO);
    }

    // Someone else's error, another interface, another address: nothing.
    report = Netlink().error(8, ENOENT).scan(ifindex, address, 9);
    QVERIFY(!report.replied && !report.mentioned);
    report = Netlink()
                 .neighbour(RTM_NEWNEIGH, 9, ifindex + 1, NUD_REACHABLE, address, &kPeerMac)
                 .scan(ifindex, address, 9);
    QVERIFY(!report.replied && !report.mentioned);
    report = Netlink()
                 .neighbour(RTM_NEWNEIGH, 9, ifindex, NUD_REACHABLE, "198.51.100.3", &kPeerMac)
                 .scan(ifindex, address, 9);
    QVERIFY(!report.replied && !report.mentioned);

    // Removal carries no usable address, whatever the message holds.
    report = Netlink()
                 .neighbour(RTM_DELNEIGH, 0, ifindex, NUD_STALE, address, &kPeerMac)
                 .scan(ifindex, address, 9);
    QVERIFY(report.mentioned && !report.hasMac);
    QCOMPARE(report.state, uint16_t(0));

    // Several messages in one datagram: the last word counts.
    report = Netlink()
                 .neighbour(RTM_NEWNEIGH, 0, ifindex, NUD_INCOMPLETE, address)
                 .neighbour(RTM_NEWNEIGH, 0, ifindex, NUD_REACHABLE, address, &kPeerMac)
                 .scan(ifindex, address, 9);
    QVERIFY(report.hasMac);
    QCOMPARE(report.state, uint16_t(NUD_REACHABLE));

    // Damaged datagrams are read no further than they hold.
    Netlink whole =
        Netlink().neighbour(RTM_NEWNEIGH, 9, ifindex, NUD_REACHABLE, address, &kPeerMac);
    for (int cut = 0; cut < whole.bytes.size(); ++cut) {
        Netlink part;
        part.bytes = whole.bytes.left(cut);
        report = part.scan(ifindex, address, 9);
        QVERIFY(!report.hasMac);
    }
    Netlink lying = whole;
    lying.bytes[0] = char(0xFF); // a length past the end
    QVERIFY(!lying.scan(ifindex, address, 9).mentioned);
}

void TestSendArp::ipv6NeighbourDump()
{
    const std::vector<uint8_t> query = BuildIpv6NeighbourDump(3, 11);
    nlmsghdr header;
    std::memcpy(&header, query.data(), sizeof header);
    QCOMPARE(header.nlmsg_len, uint32_t(query.size()));
    QCOMPARE(header.nlmsg_type, uint16_t(RTM_GETNEIGH));
    QCOMPARE(header.nlmsg_flags, uint16_t(NLM_F_REQUEST | NLM_F_DUMP));
    ndmsg asked;
    std::memcpy(&asked, query.data() + NLMSG_HDRLEN, sizeof asked);
    QCOMPARE(int(asked.ndm_family), AF_INET6);
    QCOMPARE(asked.ndm_ifindex, 3);

    const QByteArray mac = QByteArray::fromHex("02005e100001");
    Netlink dump;
    dump.neighbour6(11, 3, NUD_STALE, "fe80::1", mac, 25)
        .neighbour6(11, 4, NUD_REACHABLE, "fe80::2", mac)               // another interface
        .neighbour6(11, 3, NUD_INCOMPLETE, "fe80::3", mac)              // no address yet
        .neighbour6(11, 3, NUD_REACHABLE, "fe80::4", mac, 0, NTF_PROXY) // a proxy entry
        .neighbour6(12, 3, NUD_REACHABLE, "fe80::5", mac)               // another dump
        .neighbour6(11, 3, NUD_REACHABLE, "fe80::6", QByteArray::fromHex("0200"))
        .neighbour(RTM_NEWNEIGH, 11, 3, NUD_REACHABLE, "198.51.100.2", &kPeerMac);
    const auto scan = [](const QByteArray &bytes, std::vector<platform::Ipv6Neighbour> *rows,
                         std::size_t most) {
        return ScanIpv6Neighbours(reinterpret_cast<const uint8_t *>(bytes.constData()),
                                  std::size_t(bytes.size()), 3, 11, rows, most);
    };
    std::vector<platform::Ipv6Neighbour> rows;
    QVERIFY(!scan(dump.bytes, &rows, 100));
    QCOMPARE(rows.size(), std::size_t(1));
    in6_addr first{};
    ::inet_pton(AF_INET6, "fe80::1", &first);
    QVERIFY(std::memcmp(rows[0].address.data(), &first, sizeof first) == 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(rows[0].mac.data()), 6), mac);
    QCOMPARE(rows[0].age, 250u);

    // Only the done of this dump ends it; the bound holds however many come.
    rows.clear();
    QVERIFY(!scan(Netlink().message(NLMSG_DONE, 12, QByteArray(4, '\0')).bytes, &rows, 100));
    Netlink many;
    for (int index = 0; index < 20; ++index)
        many.neighbour6(11, 3, NUD_REACHABLE, "2001:db8::1", mac);
    many.message(NLMSG_DONE, 11, QByteArray(4, '\0'));
    QVERIFY(scan(many.bytes, &rows, 5));
    QCOMPARE(rows.size(), std::size_t(5));

    // Damaged datagrams are read no further than they hold.
    for (int cut = 0; cut < dump.bytes.size(); ++cut) {
        rows.clear();
        scan(dump.bytes.left(cut), &rows, 100);
        QVERIFY(rows.size() <= 1);
    }
}

void TestSendArp::resolvedStates_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("resolved");
    QTest::newRow("incomplete") << int(NUD_INCOMPLETE) << false;
    QTest::newRow("reachable") << int(NUD_REACHABLE) << true;
    QTest::newRow("stale") << int(NUD_STALE) << true;
    QTest::newRow("delay") << int(NUD_DELAY) << true;
    QTest::newRow("probe") << int(NUD_PROBE) << true;
    QTest::newRow("failed") << int(NUD_FAILED) << false;
    QTest::newRow("noarp") << int(NUD_NOARP) << false;
    QTest::newRow("permanent") << int(NUD_PERMANENT) << true;
    QTest::newRow("none") << int(NUD_NONE) << false;
}

void TestSendArp::resolvedStates()
{
    QFETCH(int, state);
    QFETCH(bool, resolved);
    QCOMPARE(IsResolvedState(static_cast<uint16_t>(state)), resolved);
}

void TestSendArp::tableThreshold()
{
    QByteArray body(NLMSG_ALIGN(sizeof(ndtmsg)), '\0');
    body[0] = char(AF_INET);
    body += Netlink::attribute(NDTA_NAME, "arp_cache", 10);
    uint32_t threshold = 1024;
    uint32_t other = 512;
    body += Netlink::attribute(NDTA_THRESH2, &other, sizeof other);
    body += Netlink::attribute(NDTA_THRESH3, &threshold, sizeof threshold);
    Netlink table;
    table.message(RTM_NEWNEIGHTBL, 1, body);
    QCOMPARE(ScanTableThreshold(reinterpret_cast<const uint8_t *>(table.bytes.constData()),
                                std::size_t(table.bytes.size())),
             1024u);

    // A message for one interface's parameters carries none.
    QByteArray parameters(NLMSG_ALIGN(sizeof(ndtmsg)), '\0');
    parameters += Netlink::attribute(NDTA_NAME, "arp_cache", 10);
    Netlink device;
    device.message(RTM_NEWNEIGHTBL, 1, parameters);
    QCOMPARE(ScanTableThreshold(reinterpret_cast<const uint8_t *>(device.bytes.constData()),
                                std::size_t(device.bytes.size())),
             0u);
}

void TestSendArp::route_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("sourceChosen");
    QTest::addColumn<bool>("own");

    const int found = int(RouteResult::Found);
    const int none = int(RouteResult::NoNetwork);
    QTest::newRow("host on the LAN") << "192.0.2.20"
                                     << "" << found << 2 << "192.0.2.10" << false;
    QTest::newRow("network address") << "192.0.2.0"
                                     << "" << found << 2 << "192.0.2.10" << false;
    QTest::newRow("own address") << "192.0.2.10"
                                 << "" << found << 2 << "192.0.2.10" << true;
    QTest::newRow("own second address") << "192.0.2.11"
                                        << "" << found << 2 << "192.0.2.11" << true;
    QTest::newRow("secondary network of the same link")
        << "198.51.100.7"
        << "" << found << 2 << "198.51.100.1" << false;
    QTest::newRow("longest prefix wins") << "10.1.2.3"
                                         << "" << found << 4 << "10.1.2.1" << false;
    QTest::newRow("shorter prefix elsewhere") << "10.1.9.3"
                                              << "" << found << 3 << "10.1.0.1" << false;
    QTest::newRow("off every network") << "203.0.113.5"
                                       << "" << none << 0 << "" << false;
    QTest::newRow("only on a link that is down") << "172.16.0.9"
                                                 << "" << none << 0 << "" << false;
    QTest::newRow("only on loopback") << "127.0.0.9"
                                      << "" << none << 0 << "" << false;
    QTest::newRow("only on a point-to-point tunnel") << "100.64.0.9"
                                                     << "" << none << 0 << "" << false;
    QTest::newRow("only on a single-host address") << "192.0.2.130"
                                                   << "" << none << 0 << "" << false;
    QTest::newRow("source picks the link") << "10.1.2.3"
                                           << "10.1.0.1" << found << 3 << "10.1.0.1" << false;
    QTest::newRow("source of another network") << "203.0.113.5"
                                               << "10.1.0.1" << none << 0 << "" << false;
    QTest::newRow("source not ours")
        << "192.0.2.20"
        << "192.0.2.99" << int(RouteResult::SourceNotLocal) << 0 << "" << false;
    const int noHardware = int(RouteResult::NoHardwareAddress);
    for (const char *address : {"192.0.2.127", "10.1.255.255", "224.0.0.251", "0.0.0.0"})
        QTest::newRow(address) << address << "" << noHardware << 0 << "" << false;
}

void TestSendArp::route()
{
    QFETCH(QString, destination);
    QFETCH(QString, source);
    QFETCH(int, result);
    QFETCH(int, index);
    QFETCH(QString, sourceChosen);
    QFETCH(bool, own);

    LinkInterface loopback =
        Ethernet("lo", 1, {Address("127.0.0.1", 8)}, IFF_UP | IFF_RUNNING | IFF_LOOPBACK);
    loopback.hardwareType = ARPHRD_LOOPBACK;
    LinkInterface tunnel = Ethernet("tun0", 6, {Address("100.64.0.1", 24)},
                                    IFF_UP | IFF_RUNNING | IFF_POINTOPOINT | IFF_NOARP);
    tunnel.hardwareType = ARPHRD_NONE;
    tunnel.hardwareAddress.clear();
    const std::vector<LinkInterface> links = {
        loopback,
        Ethernet("eth0", 2,
                 {Address("192.0.2.10", 25), Address("192.0.2.11", 25), Address("198.51.100.1", 24),
                  Address("192.0.2.129", 32)}),
        Ethernet("eth1", 3, {Address("10.1.0.1", 16)}),
        Ethernet("eth2", 4, {Address("10.1.2.1", 24)}),
        Ethernet("eth3", 5, {Address("172.16.0.1", 24)}, IFF_BROADCAST), // down
        tunnel,
    };

    const uint32_t sourceIp = source.isEmpty() ? 0 : Ip(qPrintable(source));
    Route route;
    QCOMPARE(int(FindRoute(links, Ip(qPrintable(destination)), sourceIp, &route)), result);
    if (result != int(RouteResult::Found))
        return;
    QVERIFY(route.link);
    QCOMPARE(route.link->index, index);
    QCOMPARE(route.sourceAddress, Ip(qPrintable(sourceChosen)));
    QCOMPARE(route.own, own);
}

void TestSendArp::interfacesOfThisMachine()
{
    // Reading the list sends nothing. Every machine has a loopback link,
    // which is never used for resolution.
    std::vector<LinkInterface> links;
    QVERIFY(ListInterfaces(&links));
    bool loopbackSeen = false;
    for (const LinkInterface &link : links) {
        QVERIFY(link.index > 0);
        QCOMPARE(link.index, int(if_nametoindex(link.name.c_str())));
        if (link.flags & IFF_LOOPBACK) {
            loopbackSeen = true;
            QVERIFY(!IsArpCapable(link));
        }
        for (const InterfaceAddress &address : link.addresses)
            QVERIFY(address.prefixLength >= 0 && address.prefixLength <= 32);
    }
    QVERIFY(loopbackSeen);
}

void TestSendArp::timingsFallBackToKernelDefaults()
{
    using namespace std::chrono;
    const NeighbourTimings timings = ReadNeighbourTimings("no-such-link");
    QCOMPARE(duration_cast<milliseconds>(timings.retransmit).count(), 1000);
    // Three requests a second apart, then a little slack.
    QCOMPARE(duration_cast<milliseconds>(timings.unresolved).count(), 3500);
    // Up to 45 s REACHABLE, 5 s STALE before the kernel may reclaim it.
    QVERIFY(timings.resolved >= seconds(50));
}

void TestSendArp::gateLetsInUpToItsCapacity()
{
    DescriptorGate gate(2);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] {
            const DescriptorGate::Pass pass(gate);
            const int now = ++inside;
            int seen = most;
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            --inside;
        });
    }
    for (std::thread &caller : callers)
        caller.join();
    QCOMPARE(most.load(), 2);
    QCOMPARE(inside.load(), 0);
}

void TestSendArp::budgetAdmitsUpToItsCapacity()
{
    using namespace std::chrono;
    EntryBudget budget(2);
    QCOMPARE(budget.Capacity(), std::size_t(2));
    const EntryBudget::Ticket first = budget.Acquire(seconds(60));
    budget.Acquire(milliseconds(300));
    QCOMPARE(budget.InUse(), std::size_t(2));

    // The third waits until the short lease runs out...
    QElapsedTimer timer;
    timer.start();
    const EntryBudget::Ticket third = budget.Acquire(seconds(60));
    QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(budget.InUse(), std::size_t(2));

    // ...and the fourth until a lease is given back.
    std::atomic<bool> admitted{false};
    std::thread waiter([&] {
        budget.Acquire(seconds(60));
        admitted = true;
    });
    QTest::qWait(200);
    QVERIFY(!admitted);
    budget.Hold(first, Clock::now());
    waiter.join();
    QVERIFY(admitted);
    QCOMPARE(budget.InUse(), std::size_t(2));

    // A lease can also be made longer.
    budget.Hold(third, Clock::now() + hours(1));
    QCOMPARE(budget.InUse(), std::size_t(2));
}

void TestSendArp::budgetAdmitsInArrivalOrder()
{
    using namespace std::chrono;
    EntryBudget budget(1);
    EntryBudget::Ticket held = budget.Acquire(hours(1));
    std::mutex orderMutex;
    std::vector<int> order;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 5; ++i) {
        waiters.emplace_back([&, i] {
            const EntryBudget::Ticket ticket = budget.Acquire(hours(1));
            {
                std::lock_guard<std::mutex> lock(orderMutex);
                order.push_back(i);
            }
            budget.Hold(ticket, Clock::now());
        });
        // Each is queued before the next arrives.
        QTest::qWait(50);
    }
    budget.Hold(held, Clock::now());
    for (std::thread &waiter : waiters)
        waiter.join();
    QCOMPARE(order, std::vector<int>({0, 1, 2, 3, 4}));
    QCOMPARE(budget.InUse(), std::size_t(0));
}

void TestSendArp::budgetShrinksAfterAnOverflow()
{
    using namespace std::chrono;
    EntryBudget budget(100);
    for (int i = 0; i < 40; ++i)
        budget.Acquire(hours(1));
    budget.Overflowed();
    QCOMPARE(budget.Capacity(), std::size_t(30));
    // Never below a few, never above the start.
    for (int i = 0; i < 10; ++i)
        budget.Overflowed();
    QVERIFY(budget.Capacity() >= 8);
    EntryBudget small(4);
    small.Overflowed();
    QCOMPARE(small.Capacity(), std::size_t(4));
}

void TestSendArp::badArgumentsAreRefused()
{
    unsigned char mac[8];
    quint32 length = sizeof mac;
    QCOMPARE(platform::SystemSendARP(Ip("198.51.100.2"), 0, nullptr, &length),
             kErrInvalidParameter);
    QCOMPARE(platform::SystemSendARP(Ip("198.51.100.2"), 0, mac, nullptr), kErrInvalidParameter);
    length = 4;
    QCOMPARE(platform::SystemSendARP(Ip("198.51.100.2"), 0, mac, &length), kErrInvalidUserBuffer);
    QCOMPARE(length, 0u);
}

void TestSendArp::addressesWithoutHardwareAddressAreRefused()
{
    // Refused, so nothing is sent.
    for (const char *address : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.1.2.3"}) {
        unsigned char mac[8];
        quint32 length = sizeof mac;
        QCOMPARE(platform::SystemSendARP(Ip(address), 0, mac, &length), kErrBadNetName);
        QCOMPARE(length, 0u);
    }
}

namespace {
quint32 FakeResolution(quint32, quint32, void *macAddr, quint32 *physAddrLen)
{
    std::memcpy(macAddr, "\x02\x00\x00\x00\x00\x2A", 6);
    *physAddrLen = 6;
    return 0;
}
} // namespace

void TestSendArp::seamReplacesAndRestoresTheResolution()
{
    const platform::SendArpFunction previous = platform::SetSendArpFunction(FakeResolution);
    unsigned char mac[8] = {};
    quint32 length = sizeof mac;
    QCOMPARE(platform::SendARP(Ip("224.0.0.1"), 0, mac, &length), 0u);
    QCOMPARE(length, 6u);
    QCOMPARE(int(mac[5]), 0x2A);
    QVERIFY(platform::SetSendArpFunction(previous) == &FakeResolution);

    // The system's own again: a multicast address has no hardware address.
    length = sizeof mac;
    QVERIFY(platform::SendARP(Ip("224.0.0.1"), 0, mac, &length) != 0);
}

void TestSendArp::stopEndsEveryWait()
{
    using namespace std::chrono;
    // The process' own budget, every lease taken for a minute: a resolution
    // through the neighbour table queues for one.
    EntryBudget &budget = EntryBudget::Instance();
    std::vector<EntryBudget::Ticket> held;
    while (budget.InUse() < budget.Capacity())
        held.push_back(budget.Acquire(minutes(1)));
    DescriptorGate gate(1);
    gate.Enter();

    std::atomic<bool> stop{false};
    std::atomic<int> outcome{-1};
    std::atomic<bool> gateEntered{true};
    std::thread resolution([&] {
        platform::SetStopFlag(&stop);
        LinkInterface loopback = Ethernet("lo", 1, {Address("127.0.0.1", 8)});
        MacAddress mac{};
        outcome = int(NeighbourResolve(loopback, Ip("127.0.0.2"), &mac));
    });
    std::thread gated([&] {
        platform::SetStopFlag(&stop);
        gateEntered = gate.Enter();
    });
    QTest::qWait(600);
    QCOMPARE(outcome.load(), -1); // still queueing

    QElapsedTimer sinceStop;
    sinceStop.start();
    stop = true;
    resolution.join();
    gated.join();
    QVERIFY2(sinceStop.elapsed() < 500, qPrintable(QString::number(sinceStop.elapsed())));
    QCOMPARE(outcome.load(), int(Outcome::NoAnswer));
    QVERIFY(!gateEntered);
    QCOMPARE(budget.InUse(), held.size()); // it took no lease

    // A call made after the stop does not start at all.
    platform::SetStopFlag(&stop);
    unsigned char mac[8];
    quint32 length = sizeof mac;
    QVERIFY(platform::SendARP(Ip("127.0.0.1"), 0, mac, &length) != 0);
    QCOMPARE(length, 0u);
    platform::SetStopFlag(nullptr);
    for (const EntryBudget::Ticket ticket : held)
        budget.Hold(ticket, Clock::now());
}

void TestSendArp::helperReadsRequestsAndRefusesTheRest()
{
    using namespace platform::resolver;
    const auto feed = [](RequestReader &reader, const std::vector<uint8_t> &bytes) {
        reader.Feed(bytes.data(), bytes.size());
    };
    const auto record = [](uint32_t id, const char *address) {
        const RequestBytes bytes = EncodeRequest({id, Ip(address)});
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };

    // Records cut anywhere come out whole and in order.
    std::vector<uint8_t> input;
    for (uint32_t id = 1; id <= 3; ++id) {
        const std::vector<uint8_t> one = record(id, "198.51.100.9");
        input.insert(input.end(), one.begin(), one.end());
    }
    RequestReader reader;
    Request request;
    feed(reader, std::vector<uint8_t>(input.begin(), input.begin() + 5));
    QCOMPARE(int(reader.Next(&request)), int(RequestReader::Status::More));
    feed(reader, std::vector<uint8_t>(input.begin() + 5, input.end()));
    for (uint32_t id = 1; id <= 3; ++id) {
        QCOMPARE(int(reader.Next(&request)), int(RequestReader::Status::Request));
        QCOMPARE(request.id, id);
        QCOMPARE(request.address, Ip("198.51.100.9"));
    }
    QCOMPARE(int(reader.Next(&request)), int(RequestReader::Status::More));
    const RequestBytes echo = EncodeRequest({4, Ip("198.51.100.1"), true});
    reader.Feed(echo.data(), echo.size());
    QCOMPARE(int(reader.Next(&request)), int(RequestReader::Status::Request));
    QVERIFY(request.echo && request.id == 4 && request.address == Ip("198.51.100.1"));
    QVERIFY(reader.Finish());

    // A short record, a record of an unknown kind, garbage in its reserved
    // bytes: refused, and nothing after it is read.
    RequestReader cut;
    feed(cut, std::vector<uint8_t>(input.begin(), input.begin() + 7));
    QCOMPARE(int(cut.Next(&request)), int(RequestReader::Status::More));
    QVERIFY(!cut.Finish());
    QVERIFY(QString::fromStdString(cut.Reason()).contains("short"));
    for (const std::size_t at : {std::size_t(0), std::size_t(2)}) {
        std::vector<uint8_t> bad = record(4, "198.51.100.9");
        bad[at] = 0x5A;
        RequestReader refusing;
        feed(refusing, bad);
        feed(refusing, record(5, "198.51.100.9"));
        QCOMPARE(int(refusing.Next(&request)), int(RequestReader::Status::Refused));
        QCOMPARE(int(refusing.Next(&request)), int(RequestReader::Status::Refused));
        QVERIFY(!refusing.Reason().empty());
    }

    // Only addresses on directly attached ARP networks are resolved.
    const std::vector<LinkInterface> links = {
        Ethernet("eth0", 2, {Address("198.51.100.1", 24)}),
        Ethernet("tun0", 3, {Address("203.0.113.1", 24)}, IFF_UP | IFF_RUNNING | IFF_NOARP),
    };
    // An echo leaves only by an ARP interface that holds the address.
    const struct
    {
        const char *address;
        Verdict verdict;
        bool echo;
    } cases[] = {
        {"198.51.100.9", Verdict::Resolve, false},    {"198.51.100.1", Verdict::Own, false},
        {"192.0.2.9", Verdict::NoAnswer, false},      {"203.0.113.9", Verdict::NoAnswer, false},
        {"198.51.100.255", Verdict::NoAnswer, false}, {"224.0.0.1", Verdict::NoAnswer, false},
        {"0.0.0.0", Verdict::NoAnswer, false},        {"198.51.100.1", Verdict::Echo, true},
        {"198.51.100.9", Verdict::NoAnswer, true},    {"203.0.113.1", Verdict::NoAnswer, true},
        {"0.0.0.0", Verdict::NoAnswer, true},
    };
    for (const auto &one : cases) {
        Route route;
        QVERIFY2(Judge({1, Ip(one.address), one.echo}, 0, links, &route) == one.verdict,
                 one.address);
        if (one.verdict == Verdict::Resolve || one.verdict == Verdict::Echo)
            QCOMPARE(route.link->index, 2);
    }
    // A flood ends the helper.
    Route route;
    QVERIFY(Judge({1, Ip("198.51.100.9")}, kMaxOutstanding - 1, links, &route) == Verdict::Resolve);
    QVERIFY(Judge({1, Ip("198.51.100.9")}, kMaxOutstanding, links, &route) == Verdict::Refuse);

    // Replies travel whole; anything else is refused.
    Reply reply;
    reply.id = 77;
    reply.address = Ip("198.51.100.9");
    reply.answered = true;
    reply.mac = kPeerMac;
    ReplyBytes bytes = EncodeReply(reply);
    Reply read;
    QVERIFY(DecodeReply(bytes.data(), bytes.size(), &read));
    QCOMPARE(read.id, 77u);
    QCOMPARE(read.address, Ip("198.51.100.9"));
    QVERIFY(read.answered && read.mac == kPeerMac);
    QVERIFY(!DecodeReply(bytes.data(), bytes.size() - 1, &read));
    // Held back: no answer, and no MAC.
    Reply held;
    held.id = 78;
    held.address = reply.address;
    held.heldBack = true;
    ReplyBytes heldBytes = EncodeReply(held);
    QCOMPARE(heldBytes[0], kHeldBack);
    QVERIFY(DecodeReply(heldBytes.data(), heldBytes.size(), &read));
    QVERIFY(read.heldBack && !read.answered && read.id == 78);
    heldBytes[12] = 1;
    QVERIFY(!DecodeReply(heldBytes.data(), heldBytes.size(), &read));
    bytes[0] = kResolve;
    QVERIFY(!DecodeReply(bytes.data(), bytes.size(), &read));
    // A second card answers no request: its id is zero.
    Reply second;
    second.id = 79;
    second.address = reply.address;
    second.otherCard = true;
    second.mac = kTwinMac;
    ReplyBytes secondBytes = EncodeReply(second);
    QCOMPARE(secondBytes[0], kOtherCard);
    QVERIFY(DecodeReply(secondBytes.data(), secondBytes.size(), &read));
    QVERIFY(read.otherCard && !read.answered && read.id == 0 && read.mac == kTwinMac);
    QCOMPARE(read.address, reply.address);
    secondBytes[4] = 1;
    QVERIFY(!DecodeReply(secondBytes.data(), secondBytes.size(), &read));
    // An echo's reply says whether one left, and carries no MAC.
    for (const bool left : {true, false}) {
        Reply echoed;
        echoed.id = 80;
        echoed.echo = true;
        echoed.answered = left;
        ReplyBytes echoedBytes = EncodeReply(echoed);
        QCOMPARE(echoedBytes[0], left ? kEchoed : kNotEchoed);
        QVERIFY(DecodeReply(echoedBytes.data(), echoedBytes.size(), &read));
        QVERIFY(read.echo && read.answered == left && read.id == 80);
        echoedBytes[12] = 1;
        QVERIFY(!DecodeReply(echoedBytes.data(), echoedBytes.size(), &read));
    }
}

void TestSendArp::budgetBoundsEverySecond()
{
    using namespace std::chrono_literals;
    // A sender that always has frames, asking as often as it may, with a
    // pause in the middle that lets a burst build up: at most 5,000 frames in
    // any second, and the full rate otherwise, which a /16 needs.
    helper::FrameBudget budget(helper::kFrameRate, helper::kFrameBurst);
    const Clock::time_point start = Clock::now();
    budget.Restart(start);
    QVERIFY(!budget.Take(start));
    std::vector<Clock::time_point> sent;
    for (Clock::time_point now = start; now < start + 4s; now += 20us) {
        while ((now < start + 1s || now > start + 1500ms) && budget.Take(now))
            sent.push_back(now);
    }
    std::size_t busiest = 0;
    for (std::size_t first = 0, last = 0; first < sent.size(); ++first) {
        while (last < sent.size() && sent[last] < sent[first] + 1s)
            ++last;
        busiest = std::max(busiest, last - first);
    }
    QVERIFY2(busiest <= 5000, qPrintable(QString::number(busiest)));
    QVERIFY2(double(sent.size()) >= 3.5 * helper::kFrameRate,
             qPrintable(QString::number(sent.size())));

    // It says when its next frame is there.
    const Clock::time_point due = budget.NextFrame(start + 4s);
    QVERIFY(due > start + 4s && due <= start + 4s + 1ms);
    QVERIFY(!budget.Take(due - 1us));
    QVERIFY(budget.Take(due));

    // However often two helpers are asked, one echo per interface per
    // interval; each knows whether one left lately.
    helper::EchoLimits echoes[2];
    int let = 0;
    for (Clock::time_point now = start; now < start + 4 * helper::kEchoInterval; now += 1ms)
        for (helper::EchoLimits &one : echoes) {
            one.Release(now);
            let += one.MayEcho(2, "tst0", now);
        }
    QCOMPARE(let, 4);
    QCOMPARE(echoes[0].Release(start), start + 4 * helper::kEchoInterval);
    QVERIFY(!echoes[0].Recent(2, "tst0") && echoes[1].Recent(2, "tst0"));
    echoes[0].Echoed(2, true);
    QVERIFY(echoes[0].Recent(2, "tst0") && !echoes[0].Recent(3, "tst1"));
}

void TestSendArp::helperAsksEachAddressOnce()
{
    using namespace std::chrono_literals;
    using Book = helper::RequestBook<int>;
    Book book;
    MacAddress mac{};
    const Clock::time_point start = Clock::now();
    const uint32_t present = Ip("198.51.100.9"), absent = Ip("198.51.100.10");

    // Requests for an address being resolved wait for its series.
    QCOMPARE(int(book.Add(1, present, start, &mac)), int(Book::Step::Start));
    QCOMPARE(int(book.Add(2, present, start + 100ms, &mac)), int(Book::Step::Join));
    QCOMPARE(int(book.Add(3, absent, start + 100ms, &mac)), int(Book::Step::Start));
    QCOMPARE(book.Held(), std::size_t(3));
    QCOMPARE(book.Series(), std::size_t(2));
    QCOMPARE(book.End(present, true, kPeerMac, start + 300ms), (std::vector<int>{1, 2}));
    QCOMPARE(book.End(absent, false, MacAddress{}, start + 900ms), std::vector<int>{3});
    QCOMPARE(book.Held(), std::size_t(0));

    // An answer serves again for about a second; "no answer" does not.
    QCOMPARE(int(book.Add(4, present, start + 1200ms, &mac)), int(Book::Step::Reuse));
    QVERIFY(mac == kPeerMac);
    QCOMPARE(int(book.Add(5, absent, start + 1200ms, &mac)), int(Book::Step::Start));
    QCOMPARE(int(book.Add(6, present, start + 1300ms, &mac)), int(Book::Step::Start));
    QCOMPARE(book.Held(), std::size_t(2));
}

namespace {

// A security.capability attribute: the revision, whether the permitted set
// is effective, the permitted set's first word, and for revision 3 the root
// id.
QByteArray Capability(uint32_t revision, bool effective, uint32_t permitted, uint32_t rootId = 0)
{
    vfs_ns_cap_data data{};
    data.magic_etc = htole32(revision | (effective ? VFS_CAP_FLAGS_EFFECTIVE : 0));
    data.data[0].permitted = htole32(permitted);
    data.rootid = htole32(rootId);
    const std::size_t size = revision == VFS_CAP_REVISION_3   ? XATTR_CAPS_SZ_3
                             : revision == VFS_CAP_REVISION_2 ? XATTR_CAPS_SZ_2
                                                              : XATTR_CAPS_SZ_1;
    return QByteArray(reinterpret_cast<const char *>(&data), static_cast<int>(size));
}

bool Grants(const QByteArray &attribute)
{
    return GrantsRawNetwork(reinterpret_cast<const uint8_t *>(attribute.constData()),
                            static_cast<std::size_t>(attribute.size()));
}

// Whether root alone may change the folder and every folder above it.
bool RootsAlone(QString folder)
{
    for (;;) {
        struct stat status
        {
        };
        if (::lstat(QFile::encodeName(folder).constData(), &status) != 0 ||
            !S_ISDIR(status.st_mode) || status.st_uid != 0 || (status.st_mode & S_IWOTH) ||
            ((status.st_mode & S_IWGRP) && status.st_gid != 0))
            return false;
        if (folder == QStringLiteral("/"))
            return true;
        folder = QFileInfo(folder).path();
    }
}

// The helper's end of a session's socket pair, played by the test.
struct FakeHelper
{
    FileDescriptor socket;

    // The next request, or false after `wait`.
    bool Read(platform::resolver::Request *request, int wait = 2000)
    {
        using namespace platform::resolver;
        for (;;) {
            if (reader.Next(request) == RequestReader::Status::Request)
                return true;
            pollfd readable{socket.get(), POLLIN, 0};
            if (::poll(&readable, 1, wait) <= 0)
                return false;
            uint8_t chunk[256];
            const ssize_t size = ::recv(socket.get(), chunk, sizeof chunk, 0);
            if (size <= 0)
                return false;
            reader.Feed(chunk, static_cast<std::size_t>(size));
        }
    }

    // A second card for an address answered.
    void Other(uint32_t address, const MacAddress &mac)
    {
        platform::resolver::Reply reply;
        reply.address = address;
        reply.otherCard = true;
        reply.mac = mac;
        const platform::resolver::ReplyBytes bytes = platform::resolver::EncodeReply(reply);
        QCOMPARE(::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                 ssize_t(bytes.size()));
    }

    void Reply(uint32_t id, uint32_t address, bool answered = true, bool heldBack = false,
               bool echo = false)
    {
        platform::resolver::Reply reply;
        reply.id = id;
        reply.address = address;
        reply.answered = answered;
        reply.heldBack = heldBack;
        reply.echo = echo;
        if (answered && !echo)
            reply.mac = kPeerMac;
        const platform::resolver::ReplyBytes bytes = platform::resolver::EncodeReply(reply);
        QCOMPARE(::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                 ssize_t(bytes.size()));
    }

    platform::resolver::RequestReader reader;
};

// A session with its Serve running, and the fake helper at the other end.
struct Conversation
{
    Conversation(std::chrono::milliseconds deadline, std::size_t capacity)
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            qFatal("socketpair");
        helper.socket = FileDescriptor(ends[1]);
        session = std::make_unique<HelperSession>(FileDescriptor(ends[0]), deadline, capacity);
        serving = std::thread([this] { end = session->Serve(); });
    }
    ~Conversation()
    {
        helper.socket = FileDescriptor(); // ends Serve, if nothing else has
        serving.join();
    }

    // Resolves in a thread of its own; `done` holds the outcome once it has.
    std::thread Resolve(const char *address, std::atomic<int> *done, MacAddress *mac = nullptr,
                        std::atomic<bool> *heldBack = nullptr)
    {
        return std::thread([this, address, done, mac, heldBack] {
            MacAddress found{};
            bool held = false;
            *done = int(session->Resolve(Ip(address), &found, &held));
            if (mac)
                *mac = found;
            if (heldBack)
                *heldBack = held;
        });
    }

    FakeHelper helper;
    std::unique_ptr<HelperSession> session;
    std::atomic<HelperSession::End> end{HelperSession::End::None};
    std::thread serving;
};

} // namespace

void TestSendArp::onlyTheGenuineHelperIsStarted()
{
    // The attribute: CAP_NET_RAW permitted and effective in the machine's
    // own namespace, nothing else.
    const uint32_t raw = CAP_TO_MASK(CAP_NET_RAW);
    QVERIFY(Grants(Capability(VFS_CAP_REVISION_2, true, raw)));
    QVERIFY(Grants(Capability(VFS_CAP_REVISION_3, true, raw, 0)));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_3, true, raw, 1000)));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_2, false, raw)));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_2, true, CAP_TO_MASK(CAP_NET_ADMIN))));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_1, true, raw)));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_2, true, raw).chopped(1)));
    QVERIFY(!Grants(Capability(VFS_CAP_REVISION_3, true, raw).chopped(4)));

    // Its place: the installed helper for an installed program, the build
    // tree's own for a program of the build tree, none for any other.
    QCOMPARE(HelperPlace(TRELVAN_INSTALLED_BINDIR "/trelvan"),
             std::string(TRELVAN_INSTALLED_HELPER));
    QCOMPARE(HelperPlace(TRELVAN_PACKAGED_BINDIR "/trelvan-list"),
             std::string(TRELVAN_PACKAGED_HELPER));
    QCOMPARE(HelperPlace(TRELVAN_BUILD_DIR "/tests/tst_lan"), std::string(TRELVAN_BUILD_HELPER));
    QCOMPARE(HelperPlace(TRELVAN_BUILD_DIR "-copy/trelvan"), std::string());
    QCOMPARE(HelperPlace("/tmp/drop/bin/trelvan"), std::string());
    QCOMPARE(HelperPlace(ProgramPath()), std::string(TRELVAN_BUILD_HELPER));

    // The file: never one in a folder others may change, nor by a relative
    // path.
    std::string why;
    QTemporaryDir anywhere;
    QFile planted(anywhere.filePath(QStringLiteral("trelvan-resolver")));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.close();
    QVERIFY(!OpenGenuineHelper(QFile::encodeName(planted.fileName()).toStdString(), &why).valid());
    QVERIFY2(QString::fromStdString(why).contains(QStringLiteral("dossier")), why.c_str());
    QVERIFY(!OpenGenuineHelper("trelvan-resolver", &why).valid());

    // The rest needs root, and a build tree that root alone may change.
    const QString folder = QStringLiteral(TRELVAN_BUILD_DIR "/tests/genuine-helper");
    QDir().mkpath(folder);
    if (::geteuid() != 0 || !RootsAlone(folder))
        QSKIP("needs root, in a build tree that root alone may change");
    struct Removed
    {
        QString folder;
        ~Removed() { QDir(folder).removeRecursively(); }
    } removed{folder};
    const QString file = folder + QStringLiteral("/trelvan-resolver");
    const std::string path = QFile::encodeName(file).toStdString();
    QFile helper(file);
    QVERIFY(helper.open(QIODevice::WriteOnly | QIODevice::Truncate));
    helper.close();
    const auto attribute = [&](const QByteArray &value) {
        return ::setxattr(path.c_str(), "security.capability", value.constData(),
                          static_cast<std::size_t>(value.size()), 0) == 0;
    };
    const auto accepted = [&](const std::string &at = {}) {
        return OpenGenuineHelper(at.empty() ? path : at, &why).valid();
    };
    QCOMPARE(::chmod(path.c_str(), 0755), 0);
    QVERIFY(!accepted()); // no attribute
    QVERIFY(attribute(Capability(VFS_CAP_REVISION_2, true, raw)));
    QVERIFY2(accepted(), why.c_str());
    QVERIFY(attribute(Capability(VFS_CAP_REVISION_3, true, raw, 1000)));
    QVERIFY(!accepted());
    QVERIFY(attribute(Capability(VFS_CAP_REVISION_2, true, raw)));

    // Writable by its group, or not root's: refused.
    QCOMPARE(::chmod(path.c_str(), 0775), 0);
    QVERIFY(!accepted());
    QCOMPARE(::chmod(path.c_str(), 0755), 0);
    QCOMPARE(::chown(path.c_str(), 65534, 65534), 0);
    QVERIFY(!accepted());
    QCOMPARE(::chown(path.c_str(), 0, 0), 0);
    QVERIFY(attribute(Capability(VFS_CAP_REVISION_2, true, raw))); // chown drops it
    QVERIFY(accepted());

    // Reached through a link, to the file or to a folder: refused.
    const std::string link = path + "-link";
    const std::string folderLink = QFile::encodeName(folder).toStdString() + "/through";
    ::unlink(link.c_str());
    ::unlink(folderLink.c_str());
    QCOMPARE(::symlink(path.c_str(), link.c_str()), 0);
    QCOMPARE(::symlink(".", folderLink.c_str()), 0);
    QVERIFY(!accepted(link));
    QVERIFY(!accepted(folderLink + "/trelvan-resolver"));

    // In a folder others may write: refused.
    const std::string folderPath = QFile::encodeName(folder).toStdString();
    QCOMPARE(::chmod(folderPath.c_str(), 01777), 0);
    QVERIFY(!accepted());
    QCOMPARE(::chmod(folderPath.c_str(), 0755), 0);
    QVERIFY(accepted());
}

void TestSendArp::clientKeepsItsDeadlines()
{
    using namespace std::chrono;
    using platform::resolver::Request;
    {
        // A request past its deadline gives up and frees its slot then; its
        // late reply is taken without fuss, and the next request is served.
        Conversation talk(milliseconds(300), 1);
        std::atomic<int> first{-1}, second{-1};
        QElapsedTimer timer;
        timer.start();
        std::thread asking = talk.Resolve("198.51.100.9", &first);
        Request late;
        QVERIFY(talk.helper.Read(&late));
        asking.join();
        QCOMPARE(first.load(), int(Outcome::NotPermitted)); // the kernel's table takes over
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(talk.session->Waiting(), std::size_t(0));

        MacAddress mac{};
        asking = talk.Resolve("198.51.100.10", &second, &mac);
        Request next;
        QVERIFY(talk.helper.Read(&next)); // sent before the late reply came
        talk.helper.Reply(late.id, late.address);
        talk.helper.Reply(next.id, next.address);
        asking.join();
        QCOMPARE(second.load(), int(Outcome::Answered));
        QVERIFY(mac == kPeerMac);
        QCOMPARE(int(talk.end.load()), int(HelperSession::End::None));
    }
    {
        // A helper that reads nothing and answers nothing: every caller,
        // those waiting for a slot too, is let go within about a deadline,
        // and the helper is ended.
        Conversation talk(milliseconds(300), 4);
        std::vector<std::atomic<int>> outcomes(12);
        std::vector<std::thread> callers;
        QElapsedTimer timer;
        timer.start();
        for (auto &outcome : outcomes) {
            outcome = -1;
            callers.push_back(talk.Resolve("198.51.100.9", &outcome));
        }
        for (std::thread &caller : callers)
            caller.join();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        for (const auto &outcome : outcomes)
            QCOMPARE(outcome.load(), int(Outcome::NotPermitted));
        QTRY_COMPARE(int(talk.end.load()), int(HelperSession::End::Timeouts));
        QCOMPARE(talk.session->Waiting(), std::size_t(0));
    }
    {
        // A helper held back from sending (another process holds the
        // interface) says so: the kernel's table resolves that address, and
        // the helper goes on serving.
        Conversation talk(seconds(10), 4);
        std::atomic<int> outcome{-1};
        std::atomic<bool> heldBack{false};
        std::thread asking = talk.Resolve("198.51.100.9", &outcome, nullptr, &heldBack);
        Request held;
        QVERIFY(talk.helper.Read(&held));
        talk.helper.Reply(held.id, held.address, false, true);
        asking.join();
        QCOMPARE(outcome.load(), int(Outcome::NotPermitted));
        QVERIFY(heldBack);
        // An echo, asked of the same helper: its reply says whether one left.
        for (const bool left : {true, false}) {
            std::atomic<bool> echoed{!left};
            std::thread echoing([&] { echoed = talk.session->EchoAllNodes(Ip("198.51.100.1")); });
            Request echo;
            QVERIFY(talk.helper.Read(&echo) && echo.echo);
            talk.helper.Reply(echo.id, echo.address, left, false, true);
            echoing.join();
            QCOMPARE(echoed.load(), left);
        }
        QCOMPARE(int(talk.end.load()), int(HelperSession::End::None));
    }
    {
        // A second card the helper tells of is kept beside its answer; one
        // for an address it never answered is not.
        Conversation talk(seconds(10), 4);
        const Clock::time_point scan = Clock::now();
        std::atomic<int> outcome{-1};
        std::thread asking = talk.Resolve("198.51.100.9", &outcome);
        Request asked;
        QVERIFY(talk.helper.Read(&asked));
        talk.helper.Reply(asked.id, asked.address);
        asking.join();
        QCOMPARE(outcome.load(), int(Outcome::Answered));
        talk.helper.Other(Ip("198.51.100.10"), kTwinMac);
        talk.helper.Other(asked.address, kTwinMac);
        MacAddress other{};
        QTRY_VERIFY(talk.session->OtherCard(asked.address, kPeerMac, scan, &other));
        QVERIFY(other == kTwinMac);
        QVERIFY(!talk.session->OtherCard(Ip("198.51.100.10"), kPeerMac, scan, &other));
        QVERIFY(!talk.session->OtherCard(asked.address, kPeerMac, Clock::now(), &other));
        QCOMPARE(int(talk.end.load()), int(HelperSession::End::None));
    }
    {
        // A request that cannot be sent holds no slot.
        Conversation talk(milliseconds(300), 1);
        talk.helper.socket = FileDescriptor();
        std::atomic<int> outcome{-1};
        talk.Resolve("198.51.100.9", &outcome).join();
        QCOMPARE(outcome.load(), int(Outcome::NotPermitted));
        QCOMPARE(talk.session->Waiting(), std::size_t(0));
    }
}

void TestSendArp::clientEndsAHelperThatAnswersOutOfTurn_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("end");
    QTest::newRow("another address") << 0 << int(HelperSession::End::WrongAddress);
    QTest::newRow("an id never asked") << 1 << int(HelperSession::End::UnknownId);
    QTest::newRow("not a reply") << 2 << int(HelperSession::End::Malformed);
    QTest::newRow("an echo's reply") << 3 << int(HelperSession::End::Malformed);
}

void TestSendArp::clientEndsAHelperThatAnswersOutOfTurn()
{
    QFETCH(int, kind);
    QFETCH(int, end);
    Conversation talk(std::chrono::seconds(10), 4);
    std::atomic<int> outcome{-1};
    std::thread asking = talk.Resolve("198.51.100.9", &outcome);
    platform::resolver::Request request;
    QVERIFY(talk.helper.Read(&request));
    if (kind == 0) {
        talk.helper.Reply(request.id, Ip("198.51.100.10"));
    } else if (kind == 1) {
        talk.helper.Reply(request.id + 1000, request.address);
    } else if (kind == 3) {
        talk.helper.Reply(request.id, request.address, true, false, true);
    } else {
        const uint8_t nonsense[platform::resolver::kReplySize] = {0x5A};
        QCOMPARE(::send(talk.helper.socket.get(), nonsense, sizeof nonsense, MSG_NOSIGNAL),
                 ssize_t(sizeof nonsense));
    }
    asking.join();
    QCOMPARE(outcome.load(), int(Outcome::NotPermitted));
    QTRY_COMPARE(int(talk.end.load()), end);
    // Nothing more is asked of it.
    outcome = -1;
    talk.Resolve("198.51.100.9", &outcome).join();
    QCOMPARE(outcome.load(), int(Outcome::NotPermitted));
}

QTEST_GUILESS_MAIN(TestSendArp)
#include "tst_sendarp.moc"
