// The questions for a host's own name and the reading of its answers, which
// come from the network and are read as untrusted; and the choice of the one
// name shown.
#include "network/hostname.h"
#include "network/namepackets.h"

#include <QTest>

#include <algorithm>
#include <string>
#include <vector>

using namespace namepackets;
using namerule::NameFault;
using Bytes = std::vector<uint8_t>;

Q_DECLARE_METATYPE(NameFault)

namespace {

constexpr uint32_t Host = 0xC6336414; // 198.51.100.20
constexpr uint16_t MdnsId = 0x1234;

void Put16(Bytes &out, unsigned value)
{
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

void PutName(Bytes &out, const std::vector<std::string> &labels)
{
    for (const std::string &label : labels) {
        out.push_back(uint8_t(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
}

// A multicast DNS response as a responder sends it to a legacy unicast
// question: the question echoed, then the PTR record, whose owner points
// back at the question's name.
Bytes MdnsAnswer(const std::string &target, uint16_t recordClass = 0x8001)
{
    Bytes out;
    Put16(out, MdnsId);
    Put16(out, 0x8400);
    Put16(out, 1);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 0);
    PutName(out, {"20", "100", "51", "198", "in-addr", "arpa"});
    Put16(out, 12);
    Put16(out, 1);
    Put16(out, 0xC00C); // the owner: the question's name
    Put16(out, 12);
    Put16(out, recordClass);
    Put16(out, 0);
    Put16(out, 10);
    Bytes data;
    std::vector<std::string> labels{target};
    if (!target.empty())
        labels.push_back("local");
    PutName(data, labels);
    Put16(out, unsigned(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes NetbiosAnswer(uint16_t id, const std::vector<std::pair<std::string, unsigned>> &names)
{
    Bytes out;
    Put16(out, id);
    Put16(out, 0x8400);
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 0);
    const Bytes question = NetbiosStatusQuery(id);
    out.insert(out.end(), question.begin() + 12, question.end() - 4); // the encoded "*"
    Put16(out, 0x21);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, unsigned(1 + 18 * names.size() + 46));
    out.push_back(uint8_t(names.size()));
    for (const auto &[text, suffixAndFlags] : names) {
        std::string padded = text;
        padded.resize(15, ' ');
        out.insert(out.end(), padded.begin(), padded.end());
        out.push_back(uint8_t(suffixAndFlags >> 16));
        Put16(out, suffixAndFlags & 0xFFFF);
    }
    out.insert(out.end(), 46, 0); // statistics, the MAC first
    return out;
}

} // namespace

class TestNames : public QObject
{
    Q_OBJECT

private slots:
    void mdnsQuestionAndAnswer()
    {
        QCOMPARE(ReverseName(Host), std::string("20.100.51.198.in-addr.arpa"));
        const Bytes query = MdnsReverseQuery(Host, 0x1234);
        // Header, one question; the name in labels; PTR, IN.
        QCOMPARE(query.size(), std::size_t(12 + 28 + 4));
        QCOMPARE(int(query[5]), 1);
        QCOMPARE(std::string(query.begin() + 13, query.begin() + 15), std::string("20"));
        QCOMPARE(int(query[query.size() - 3]), 12);

        std::string name;
        const Bytes answer = MdnsAnswer("epson-bureau");
        QVERIFY(ParseMdnsReverseAnswer(answer.data(), answer.size(), Host, MdnsId, &name));
        QCOMPARE(name, std::string("epson-bureau.local"));
        // Another address's record, the answer to another query, a question,
        // or an answer cut anywhere gives no name.
        name.clear();
        QVERIFY(!ParseMdnsReverseAnswer(answer.data(), answer.size(), Host + 1, MdnsId, &name));
        QVERIFY(!ParseMdnsReverseAnswer(answer.data(), answer.size(), Host, MdnsId + 1, &name));
        Bytes question = answer;
        question[2] = 0;
        QVERIFY(!ParseMdnsReverseAnswer(question.data(), question.size(), Host, MdnsId, &name));
        for (std::size_t size = 0; size < answer.size(); ++size)
            QVERIFY(!ParseMdnsReverseAnswer(answer.data(), size, Host, MdnsId, &name));
        QVERIFY(name.empty());
    }

    void mdnsAnswerIsReadWarily()
    {
        std::string name = "unchanged";
        // A pointer to itself.
        Bytes loop = MdnsAnswer("x");
        const std::size_t target = loop.size() - 9; // the record's data: "\x01x\x05local\0"
        loop[target] = 0xC0;
        loop[target + 1] = uint8_t(target);
        QVERIFY(!ParseMdnsReverseAnswer(loop.data(), loop.size(), Host, MdnsId, &name));
        // The rule refused the name, and says why: a dot inside a label
        // would read as two labels once written out.
        for (const auto &[label, why] : {std::pair{"nas.salon", NameFault::DotInLabel},
                                         std::pair{"a\xE2\x80\xAEz", NameFault::Bidirectional}}) {
            const Bytes refused = MdnsAnswer(label);
            NameFault fault = NameFault::None;
            QVERIFY(!ParseMdnsReverseAnswer(refused.data(), refused.size(), Host, MdnsId, &name,
                                            &fault));
            QCOMPARE(fault, why);
        }
        QCOMPARE(name, std::string("unchanged"));
        // Owner names match whatever their case; a class other than IN does not.
        Bytes upper = MdnsAnswer("nas");
        std::replace(upper.begin() + 12, upper.begin() + 40, uint8_t('a'), uint8_t('A'));
        QVERIFY(ParseMdnsReverseAnswer(upper.data(), upper.size(), Host, MdnsId, &name));
        const Bytes chaos = MdnsAnswer("nas", 3);
        QVERIFY(!ParseMdnsReverseAnswer(chaos.data(), chaos.size(), Host, MdnsId, &name));
        QCOMPARE(name, std::string("nas.local"));
    }

    void netbiosStatus()
    {
        const Bytes query = NetbiosStatusQuery(0x4242);
        QCOMPARE(query.size(), std::size_t(12 + 34 + 4));
        QCOMPARE(std::string(query.begin() + 13, query.begin() + 17), std::string("CKAA"));
        QCOMPARE(int(query[query.size() - 3]), 0x21);

        // The group name and the server's 0x20 come first; the workstation
        // name is the unique one of suffix 0x00.
        const Bytes answer = NetbiosAnswer(
            0x4242, {{"WORKGROUP", 0x008400}, {"PC-DE-LEA", 0x200400}, {"PC-DE-LEA", 0x000400}});
        std::string name;
        QVERIFY(ParseNetbiosStatus(answer.data(), answer.size(), 0x4242, &name));
        QCOMPARE(name, std::string("PC-DE-LEA"));
        QVERIFY(!ParseNetbiosStatus(answer.data(), answer.size(), 0x4243, &name));
        for (std::size_t size = 0; size < answer.size() - 46; ++size)
            QVERIFY(!ParseNetbiosStatus(answer.data(), size, 0x4242, &name));
        const Bytes groups = NetbiosAnswer(1, {{"WORKGROUP", 0x008400}});
        QVERIFY(!ParseNetbiosStatus(groups.data(), groups.size(), 1, &name));
        // A count of names beyond the record's data.
        Bytes overlong = NetbiosAnswer(1, {{"PC", 0x000400}});
        overlong[overlong.size() - 46 - 19] = 200;
        QVERIFY(!ParseNetbiosStatus(overlong.data(), overlong.size(), 1, &name));
        // Latin-1 comes back as UTF-8; a C1 control is refused.
        const Bytes latin1 = NetbiosAnswer(1, {{"CAF\xC9", 0x000400}});
        QVERIFY(ParseNetbiosStatus(latin1.data(), latin1.size(), 1, &name));
        QCOMPARE(name, std::string("CAF\xC3\x89"));
        const Bytes control = NetbiosAnswer(1, {{"PC\x9Bz", 0x000400}});
        NameFault fault = NameFault::None;
        QVERIFY(!ParseNetbiosStatus(control.data(), control.size(), 1, &name, &fault));
        QCOMPARE(fault, NameFault::Control);
    }

    // The one rule of a name, whatever its source; as labels, a dot is a
    // character of its label.
    void nameRule_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<NameFault>("fault");
        const QByteArray label63(63, 'a');
        const QByteArray name253 = label63 + '.' + label63 + '.' + label63 + '.' + label63.left(61);
        QTest::newRow("plain") << QByteArray("nas-salon.local") << NameFault::None;
        QTest::newRow("markup is text") << QByteArray("<img src=/dev/zero>") << NameFault::None;
        QTest::newRow("accents, emoji")
            << QByteArray("Caf\xC3\xA9\xF0\x9F\x98\x80") << NameFault::None;
        QTest::newRow("escape") << QByteArray("a\x1B[2J") << NameFault::Control;
        QTest::newRow("C1 CSI") << QByteArray("a\xC2\x9Bz") << NameFault::Control;
        QTest::newRow("line separator") << QByteArray("a\xE2\x80\xA8z") << NameFault::Control;
        QTest::newRow("override") << QByteArray("a\xE2\x80\xAEz") << NameFault::Bidirectional;
        QTest::newRow("isolate") << QByteArray("a\xE2\x81\xA6") << NameFault::Bidirectional;
        QTest::newRow("zero width") << QByteArray("a\xE2\x80\x8Bz") << NameFault::Invisible;
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBFz") << NameFault::Invisible;
        QTest::newRow("lone byte") << QByteArray("caf\xE9") << NameFault::InvalidUtf8;
        QTest::newRow("overlong dot") << QByteArray("a\xC0\xAEz") << NameFault::InvalidUtf8;
        QTest::newRow("surrogate") << QByteArray("a\xED\xA0\x80") << NameFault::InvalidUtf8;
        QTest::newRow("two dots") << QByteArray("nas..local") << NameFault::EmptyLabel;
        QTest::newRow("64-byte label") << label63 + "a.local" << NameFault::LongLabel;
        QTest::newRow("253-byte name") << name253 << NameFault::None;
        QTest::newRow("254-byte name") << name253 + 'b' << NameFault::LongName;
    }

    void nameRule()
    {
        QFETCH(QByteArray, name);
        QFETCH(NameFault, fault);
        QCOMPARE(namerule::CheckName(name.toStdString()), fault);
        std::vector<std::string> labels;
        for (const QByteArray &label : name.split('.'))
            labels.push_back(label.toStdString());
        QCOMPARE(namerule::CheckNameLabels(labels), fault);
        if (name.contains('.') && name.size() <= 63)
            QCOMPARE(namerule::CheckNameLabels({name.toStdString()}), NameFault::DotInLabel);
    }

    // The rule of free text (a title, a model): a name's characters, with
    // dots and spaces, within the reader's bound.
    void textRule_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<NameFault>("fault");
        QTest::newRow("title") << QByteArray("HP OfficeJet Pro 9010 v1.2") << NameFault::None;
        QTest::newRow("dots in a row") << QByteArray("Salon...") << NameFault::None;
        QTest::newRow("empty") << QByteArray() << NameFault::Empty;
        QTest::newRow("tab") << QByteArray("a\tb") << NameFault::Control;
        QTest::newRow("override") << QByteArray("a\xE2\x80\xAEz") << NameFault::Bidirectional;
        QTest::newRow("lone byte") << QByteArray("caf\xE9") << NameFault::InvalidUtf8;
        QTest::newRow("256 bytes") << QByteArray(256, 'a') << NameFault::None;
        QTest::newRow("257 bytes") << QByteArray(257, 'a') << NameFault::LongText;
    }

    void textRule()
    {
        QFETCH(QByteArray, text);
        QFETCH(NameFault, fault);
        QCOMPARE(namerule::CheckText(text.toStdString()), fault);
    }

    void shownName_data()
    {
        QTest::addColumn<QString>("dns");
        QTest::addColumn<QString>("mdns");
        QTest::addColumn<QString>("netbios");
        QTest::addColumn<QString>("shown");
        QTest::newRow("mdns first") << "nas.example.org"
                                    << "nas-salon.local"
                                    << "NAS"
                                    << "nas-salon";
        QTest::newRow("then dns") << "nas.example.org"
                                  << ""
                                  << "NAS"
                                  << "nas.example.org";
        QTest::newRow("then netbios") << ""
                                      << ""
                                      << "PC-DE-LEA"
                                      << "PC-DE-LEA";
        QTest::newRow(".local in any case") << "pc.corp.LOCAL"
                                            << ""
                                            << ""
                                            << "pc.corp";
        QTest::newRow("only .local") << ""
                                     << ".local"
                                     << ""
                                     << ".local";
        QTest::newRow("none") << ""
                              << ""
                              << ""
                              << "";
    }
    void shownName()
    {
        QFETCH(QString, dns);
        QFETCH(QString, mdns);
        QFETCH(QString, netbios);
        QFETCH(QString, shown);
        QCOMPARE(ShownName(HostNames{dns, mdns, netbios}), shown);
    }
};

QTEST_GUILESS_MAIN(TestNames)
#include "tst_names.moc"
