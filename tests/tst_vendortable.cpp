#include "makers/makerlookup.h"
#include "makers/vendortable.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The parse as the listing's rules state it, step by step: decode, split at
// line feeds, drop empty parts, match every line whole. The parser skips
// ahead to the lines that can match and matches ASCII lines by hand; it must
// give exactly this table.
VendorTable ReferenceParse(const QString &listing)
{
    const QRegularExpression pattern(
        QStringLiteral(R"(^\s*([0-9a-fA-F]+)\s*\(base\s*16\)\s+\b(.*)\s*$)"),
        QRegularExpression::UseUnicodePropertiesOption);
    VendorTable table;
    const QStringList lines = listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match =
            pattern.match(line, 0, QRegularExpression::NormalMatch,
                          QRegularExpression::AnchorAtOffsetMatchOption);
        if (match.hasMatch() && match.capturedEnd(0) == line.size()) {
            table[match.captured(1).toUpper()] = match.captured(2);
        }
    }
    return table;
}

// A record line in the listing's own layout.
QString Record(const QString &key, const QString &name)
{
    return key + QStringLiteral("     (base 16)\t\t") + name;
}

VendorTable Parse(const QString &listing)
{
    VendorTable table;
    ParseVendorListing(listing, table);
    return table;
}

// LoadVendorListing on a file holding these bytes.
VendorTable Load(const QByteArray &bytes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("oui.txt"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
    file.close();
    VendorTable table;
    LoadVendorListing(path, table);
    return table;
}

// Empty when the tables are equal, else the first entry where they part.
QString Difference(const VendorTable &actual, const VendorTable &expected)
{
    auto a = actual.cbegin();
    auto e = expected.cbegin();
    for (; a != actual.cend() && e != expected.cend(); ++a, ++e) {
        if (a->first != e->first || a->second != e->second) {
            return QStringLiteral("got %1 \"%2\", expected %3 \"%4\"")
                .arg(a->first, a->second, e->first, e->second);
        }
    }
    if (a != actual.cend()) {
        return QStringLiteral("extra entry %1 \"%2\"").arg(a->first, a->second);
    }
    if (e != expected.cend()) {
        return QStringLiteral("missing entry %1 \"%2\"").arg(e->first, e->second);
    }
    return {};
}

#define COMPARE_TABLES(actual, expected)                                                           \
    do {                                                                                           \
        const QString difference = Difference(actual, expected);                                   \
        QVERIFY2(difference.isEmpty(), qPrintable(difference));                                    \
    } while (false)

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

using Bytes = std::vector<unsigned char>;

// The name that a carried listing gives the block key (the OUI's six digits,
// then for the smaller blocks the first digits of the range), read straight
// from its text: empty when no record has the key, a note when several do.
QString ListedName(const QString &file, const QString &key)
{
    const QStringList lines =
        QString::fromUtf8(ReadAll(QStringLiteral(":/res/") + file)).split(QLatin1Char('\n'));
    QStringList names;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype at = lines[i].indexOf(QLatin1String("(base 16)"));
        if (at < 0)
            continue;
        const QString oui = lines[i - 1].section(QLatin1Char(' '), 0, 0).remove(QLatin1Char('-'));
        const QString range = lines[i].left(at).trimmed();
        const QString listed =
            file == QLatin1String("oui.txt") ? range : oui + range.left(key.size() - 6);
        if (listed == key)
            names << lines[i].mid(at + 9).trimmed();
    }
    return names.size() > 1 ? QStringLiteral("<%1 records>").arg(names.size()) : names.value(0);
}

} // namespace

Q_DECLARE_METATYPE(Bytes)

class TestVendorTable : public QObject
{
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void sameAsReference_data();
    void sameAsReference();
    void randomLines();
    void randomBytes();
    void lastRecordWins();
    void keysDifferingOnlyInCase();
    void addsToWhatIsThere();
    void loadMissingFile_data();
    void loadMissingFile();
    void loadDecodesUtf8();
    void carriedListing();
    void parseBlocks();
    void makerLookup_data();
    void makerLookup();
};

void TestVendorTable::parseLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("entry");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("name");

    QTest::newRow("base 16 record")
        << QStringLiteral("000000     (base 16)\t\tXEROX CORPORATION") << true
        << QStringLiteral("000000") << QStringLiteral("XEROX CORPORATION");
    QTest::newRow("hex line") << QStringLiteral("00-00-00   (hex)\t\tXEROX CORPORATION") << false
                              << QString() << QString();
    QTest::newRow("name a single space")
        << Record(QStringLiteral("000000"), QStringLiteral(" ")) << false << QString() << QString();
    QTest::newRow("no name at all")
        << QStringLiteral("000000     (base 16)") << false << QString() << QString();
    QTest::newRow("name only blanks") << Record(QStringLiteral("000000"), QStringLiteral("  \t "))
                                      << false << QString() << QString();
    QTest::newRow("name starts with @")
        << Record(QStringLiteral("000604"), QStringLiteral("@Track Communications, Inc.")) << false
        << QString() << QString();
    QTest::newRow("name starts with double quote")
        << Record(QStringLiteral("000001"), QStringLiteral("\"Quoted\" Ltd")) << false << QString()
        << QString();
    QTest::newRow("name starts with comma")
        << Record(QStringLiteral("000002"), QStringLiteral(", Inc.")) << false << QString()
        << QString();
    QTest::newRow("name starts with plus")
        << Record(QStringLiteral("30F33A"), QStringLiteral("+plugg srl")) << false << QString()
        << QString();
    QTest::newRow("name starts with zero width space")
        << Record(QStringLiteral("48BCA6"), QStringLiteral("\u200bASUNG TECHNO CO.,Ltd")) << false
        << QString() << QString();
    QTest::newRow("more blanks before the name")
        << Record(QStringLiteral("4829E4"), QStringLiteral("   ZAO NPK Rotek")) << true
        << QStringLiteral("4829E4") << QStringLiteral("ZAO NPK Rotek");
    QTest::newRow("more blanks, then punctuation")
        << Record(QStringLiteral("4829E5"), QStringLiteral("  @home")) << false << QString()
        << QString();
    QTest::newRow("lower-case key")
        << Record(QStringLiteral("00a0c9"), QStringLiteral("Intel Corporation")) << true
        << QStringLiteral("00A0C9") << QStringLiteral("Intel Corporation");
    QTest::newRow("trailing blanks kept")
        << Record(QStringLiteral("001122"), QStringLiteral("Acme Ltd  \t")) << true
        << QStringLiteral("001122") << QStringLiteral("Acme Ltd  \t");
    QTest::newRow("trailing carriage return kept")
        << Record(QStringLiteral("001122"), QStringLiteral("Acme Ltd\r")) << true
        << QStringLiteral("001122") << QStringLiteral("Acme Ltd\r");
    QTest::newRow("name starts with a Latin letter")
        << Record(QStringLiteral("0C7C28"), QStringLiteral("Ångström AB")) << true
        << QStringLiteral("0C7C28") << QStringLiteral("Ångström AB");
    QTest::newRow("name starts with micro sign")
        << Record(QStringLiteral("F0A7B2"), QStringLiteral("µTech Tecnologia LTDA")) << true
        << QStringLiteral("F0A7B2") << QStringLiteral("µTech Tecnologia LTDA");
    QTest::newRow("name starts with a Han letter")
        << Record(QStringLiteral("A0B8F8"), QStringLiteral("杭州德澜科技有限公司")) << true
        << QStringLiteral("A0B8F8") << QStringLiteral("杭州德澜科技有限公司");
    QTest::newRow("name starts with a letter outside the BMP")
        << Record(QStringLiteral("ABCDEF"), QStringLiteral("\U0001D400cme")) << true
        << QStringLiteral("ABCDEF") << QStringLiteral("\U0001D400cme");
    QTest::newRow("name starts with a digit")
        << Record(QStringLiteral("00104B"), QStringLiteral("3Com")) << true
        << QStringLiteral("00104B") << QStringLiteral("3Com");
    QTest::newRow("name starts with underscore")
        << Record(QStringLiteral("00104C"), QStringLiteral("_x Ltd")) << true
        << QStringLiteral("00104C") << QStringLiteral("_x Ltd");
    QTest::newRow("upper-case BASE")
        << QStringLiteral("000000     (BASE 16)\t\tXEROX") << false << QString() << QString();
    QTest::newRow("no blanks around the key")
        << QStringLiteral("000000(base16)\tXEROX") << true << QStringLiteral("000000")
        << QStringLiteral("XEROX");
    QTest::newRow("leading blanks") << QStringLiteral("  \t000000 (base 16) XEROX") << true
                                    << QStringLiteral("000000") << QStringLiteral("XEROX");
    QTest::newRow("no blank before the name")
        << QStringLiteral("000000     (base 16)XEROX") << false << QString() << QString();
    QTest::newRow("no-break spaces are blanks")
        << QStringLiteral("000000\u00a0(base\u00a016)\u00a0XEROX") << true
        << QStringLiteral("000000") << QStringLiteral("XEROX");
    QTest::newRow("key of another length") << QStringLiteral("0a (base 16) Short") << true
                                           << QStringLiteral("0A") << QStringLiteral("Short");
    QTest::newRow("text before the key")
        << QStringLiteral("x000000     (base 16)\t\tXEROX") << false << QString() << QString();
    QTest::newRow("non-hex key") << QStringLiteral("00000G     (base 16)\t\tXEROX") << false
                                 << QString() << QString();
    QTest::newRow("address line") << QStringLiteral("\t\t\t\t2181 Buchanan Loop") << false
                                  << QString() << QString();
    QTest::newRow("header line") << QStringLiteral("OUI/MA-L                    Organization")
                                 << false << QString() << QString();
    QTest::newRow("vertical tab and form feed are blanks")
        << QStringLiteral("\v000000\f(base\v16)\f\vXEROX") << true << QStringLiteral("000000")
        << QStringLiteral("XEROX");
    QTest::newRow("carriage return among the blanks")
        << QStringLiteral("000000\r(base 16)\rXEROX") << true << QStringLiteral("000000")
        << QStringLiteral("XEROX");
    QTest::newRow("control character in the name")
        << Record(QStringLiteral("000000"), QStringLiteral("A\x01B")) << true
        << QStringLiteral("000000") << QStringLiteral("A\x01B");
    QTest::newRow("ideographic space before the name")
        << QStringLiteral("000000     (base 16)\u3000XEROX") << true << QStringLiteral("000000")
        << QStringLiteral("XEROX");
    QTest::newRow("empty") << QString() << false << QString() << QString();
}

void TestVendorTable::parseLine()
{
    QFETCH(QString, line);
    QFETCH(bool, entry);
    QFETCH(QString, key);
    QFETCH(QString, name);

    VendorTable table = Parse(line);
    COMPARE_TABLES(Load(line.toUtf8()), table);
    if (!entry) {
        COMPARE_TABLES(table, VendorTable());
    } else {
        QCOMPARE(table.size(), size_t(1));
        QCOMPARE(table.begin()->first, key);
        QCOMPARE(table.begin()->second, name);
    }
    // The same line inside a listing, with other lines around it.
    const QString listing = QStringLiteral("\n00-00-00   (hex)\t\tX\n") + line +
                            QStringLiteral("\n\t\t\t\tAddress (base 16)\n");
    COMPARE_TABLES(Parse(listing), table);
    COMPARE_TABLES(Load(listing.toUtf8()), table);
    COMPARE_TABLES(table, ReferenceParse(line));
}

void TestVendorTable::sameAsReference_data()
{
    QTest::addColumn<QString>("listing");

    const QString a = Record(QStringLiteral("000001"), QStringLiteral("A"));
    const QString b = Record(QStringLiteral("000002"), QStringLiteral("B"));
    QTest::newRow("empty") << QString();
    QTest::newRow("only the marker") << QStringLiteral("(base");
    QTest::newRow("record at the very start, no line feed") << a;
    QTest::newRow("record then line feed") << a + QLatin1Char('\n');
    QTest::newRow("line feeds first") << QStringLiteral("\n\n\n") + a;
    QTest::newRow("CR LF ends") << a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n");
    QTest::newRow("two records on adjacent lines") << a + QLatin1Char('\n') + b;
    QTest::newRow("marker twice on one line")
        << QStringLiteral("000003 (base 16) Name (base 16) Tail\n") + a;
    QTest::newRow("marker in the name") << QStringLiteral("000004     (base 16)\t\tThe (base Co\n");
    QTest::newRow("marker on a line that fails, record after")
        << QStringLiteral("zz (base 16) X\n") + b;
    QTest::newRow("marker without 16") << QStringLiteral("000005 (base 8) X\n") + a;
    QTest::newRow("blank lines between")
        << QStringLiteral("   \n\t\n") + a + QStringLiteral("\n \n") + b + QStringLiteral("\n\n");
    QTest::newRow("only a line feed") << QStringLiteral("\n");
    QTest::newRow("record ends the text without line feed")
        << QStringLiteral("header\n\n") + a + QStringLiteral("\n\t\t\t\taddr\n") + b;
    QTest::newRow("Mongolian vowel separator as a blank")
        << QStringLiteral("000006\u180e(base 16)\u180eName\n");
    QTest::newRow("name starts with a combining mark")
        << Record(QStringLiteral("000007"), QStringLiteral("\u0301Name"));
    QTest::newRow("line separator in the name")
        << Record(QStringLiteral("000008"), QStringLiteral("A\u2028B"));
    QTest::newRow("next line in the name")
        << Record(QStringLiteral("000009"), QStringLiteral("A\u0085B"));
    QTest::newRow("NUL in the name")
        << Record(QStringLiteral("00000A"), QStringLiteral("A")) + QChar(0) + QStringLiteral("B");
    QTest::newRow("byte order mark on a later line")
        << a + QStringLiteral("\n\ufeff") + b + QStringLiteral("\n\ufeff\n");
    QTest::newRow("byte order mark first") << QStringLiteral("\ufeff") + a + QLatin1Char('\n') + b;
}

void TestVendorTable::sameAsReference()
{
    QFETCH(QString, listing);
    COMPARE_TABLES(Parse(listing), ReferenceParse(listing));
    // A file is decoded as a whole would be, which drops a byte order mark
    // at its very start.
    const QByteArray bytes = listing.toUtf8();
    COMPARE_TABLES(Load(bytes), ReferenceParse(QString::fromUtf8(bytes)));
}

// Lines made of pieces of record lines, blanks of every kind and awkward
// characters, so that both the hand matcher and the regular expression are
// led up to every decision and past it.
void TestVendorTable::randomLines()
{
    const QStringList pieces = {
        QStringLiteral("000000"),     QStringLiteral("00a0c9"), QStringLiteral("F"),
        QStringLiteral("G"),          QStringLiteral("(base"),  QStringLiteral("(BASE"),
        QStringLiteral("16)"),        QStringLiteral("16"),     QStringLiteral(")"),
        QStringLiteral("(hex)"),      QStringLiteral(" "),      QStringLiteral("     "),
        QStringLiteral("\t\t"),       QStringLiteral("\v"),     QStringLiteral("\f"),
        QStringLiteral("\r"),         QStringLiteral("\n"),     QString(QChar(0)),
        QStringLiteral("\u00a0"),     QStringLiteral("\u180e"), QStringLiteral("\u2028"),
        QStringLiteral("\u0085"),     QStringLiteral("\u200b"), QStringLiteral("\u3000"),
        QStringLiteral("Acme"),       QStringLiteral("_"),      QStringLiteral("@"),
        QStringLiteral("\""),         QStringLiteral(","),      QStringLiteral("-"),
        QStringLiteral("3"),          QStringLiteral("Å"),      QStringLiteral("µ"),
        QStringLiteral("杭"),         QStringLiteral("\u0301"), QStringLiteral("\U0001D400"),
        QStringLiteral("\U0001F600"), QStringLiteral("\x01"),   QStringLiteral("\x7f")};
    QRandomGenerator random(20240607);
    QString listing;
    for (int line = 0; line < 4000; ++line) {
        // Most lines start as a record does, whole or in part, to get past
        // the key to the later decisions.
        const QString head =
            QString::number(random.bounded(0x1000000), 16) + QStringLiteral("     (base 16)\t\t");
        switch (random.bounded(3)) {
        case 0:
            listing += head;
            break;
        case 1:
            listing += head.left(random.bounded(int(head.size())));
            break;
        default:
            break;
        }
        const int count = random.bounded(1, 6);
        for (int i = 0; i < count; ++i) {
            listing += pieces.at(random.bounded(int(pieces.size())));
        }
        listing += QLatin1Char('\n');
    }
    const VendorTable expected = ReferenceParse(listing);
    QVERIFY(expected.size() > 10); // the mix does reach records
    COMPARE_TABLES(Parse(listing), expected);
    COMPARE_TABLES(Load(listing.toUtf8()), expected);
}

// Bytes that are not all valid UTF-8: the load decodes only some lines, and
// must get them as decoding the whole text would.
void TestVendorTable::randomBytes()
{
    // An empty piece stands for a record's start with a random key.
    const QList<QByteArray> pieces = {QByteArray(),
                                      QByteArray(),
                                      "Acme",
                                      " ",
                                      "\t",
                                      "\n",
                                      "\n",
                                      "\r\n",
                                      "\xC3\x85",
                                      "\xC3",
                                      "\xE2\x80",
                                      "\xE2\x80\xA8",
                                      "\xF0\x9D\x90\x80",
                                      "\xF0\x9D",
                                      "\x80",
                                      "\xBF",
                                      "\xFF",
                                      "\xFE",
                                      "\xC0\xAF",
                                      "\xED\xA0\x80",
                                      "\xEF\xBB\xBF",
                                      "(",
                                      "(base",
                                      "16)",
                                      "@",
                                      "_"};

    QRandomGenerator random(77);
    QByteArray bytes;
    for (int i = 0; i < 20000; ++i) {
        const QByteArray &piece = pieces.at(random.bounded(int(pieces.size())));
        if (piece.isNull()) {
            bytes += "\n" + QByteArray::number(random.bounded(0x1000000), 16) + " (base 16) ";
        } else {
            bytes += piece;
        }
    }
    const VendorTable expected = ReferenceParse(QString::fromUtf8(bytes));
    QVERIFY(expected.size() > 10);
    COMPARE_TABLES(Load(bytes), expected);
    // Again with a byte order mark first, which decoding drops.
    COMPARE_TABLES(Load("\xEF\xBB\xBF" + bytes),
                   ReferenceParse(QString::fromUtf8("\xEF\xBB\xBF" + bytes)));
}

void TestVendorTable::lastRecordWins()
{
    const QString listing =
        Record(QStringLiteral("00AA00"), QStringLiteral("A")) + QStringLiteral("\n\n") +
        Record(QStringLiteral("00AA01"), QStringLiteral("Other")) + QStringLiteral("\n\n") +
        Record(QStringLiteral("00AA00"), QStringLiteral("B")) + QStringLiteral("\n");
    const VendorTable table = Parse(listing);
    QCOMPARE(table.size(), size_t(2));
    QCOMPARE(table.at(QStringLiteral("00AA00")), QStringLiteral("B"));
    QCOMPARE(table.at(QStringLiteral("00AA01")), QStringLiteral("Other"));
}

void TestVendorTable::keysDifferingOnlyInCase()
{
    const QString listing = Record(QStringLiteral("00a0c9"), QStringLiteral("First")) +
                            QStringLiteral("\n") +
                            Record(QStringLiteral("00A0C9"), QStringLiteral("Second"));
    const VendorTable table = Parse(listing);
    QCOMPARE(table.size(), size_t(1));
    QCOMPARE(table.at(QStringLiteral("00A0C9")), QStringLiteral("Second"));
}

void TestVendorTable::addsToWhatIsThere()
{
    VendorTable table{{QStringLiteral("111111"), QStringLiteral("Kept")},
                      {QStringLiteral("222222"), QStringLiteral("Replaced")}};
    ParseVendorListing(Record(QStringLiteral("222222"), QStringLiteral("New")) +
                           QStringLiteral("\n") +
                           Record(QStringLiteral("333333"), QStringLiteral("Added")),
                       table);
    const VendorTable expected{{QStringLiteral("111111"), QStringLiteral("Kept")},
                               {QStringLiteral("222222"), QStringLiteral("New")},
                               {QStringLiteral("333333"), QStringLiteral("Added")}};
    COMPARE_TABLES(table, expected);
}

void TestVendorTable::loadMissingFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing resource") << QStringLiteral(":/res/no-such-listing.txt");
    QTest::newRow("missing file") << QDir::temp().filePath(QStringLiteral("no/such/oui.txt"));
    QTest::newRow("a folder") << QDir::tempPath();
}

void TestVendorTable::loadMissingFile()
{
    QFETCH(QString, path);
    VendorTable table;
    LoadVendorListing(path, table);
    COMPARE_TABLES(table, VendorTable());
}

void TestVendorTable::loadDecodesUtf8()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("oui.txt"));
    const QString listing =
        QStringLiteral("\n") + Record(QStringLiteral("0C7C28"), QStringLiteral("Ångström AB")) +
        QStringLiteral("\n\t\t\t\tUppsala\n\n") +
        Record(QStringLiteral("48BCA6"), QStringLiteral("\u200bASUNG")) + QStringLiteral("\n");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(listing.toUtf8()) > 0);
    }
    VendorTable table;
    LoadVendorListing(path, table);
    const VendorTable expected{{QStringLiteral("0C7C28"), QStringLiteral("Ångström AB")}};
    COMPARE_TABLES(table, expected);
}

void TestVendorTable::carriedListing()
{
    const QString path = QStringLiteral(":/res/oui.txt");
    const QByteArray bytes = ReadAll(path);
    QVERIFY(!bytes.isEmpty());

    // The table worked out another way: the listing writes every record as
    // six hex digits, five spaces, "(base 16)" and two tabs, so the key and
    // the name sit at fixed places, and a name gets an entry when its first
    // non-blank character is a letter, a number or "_".
    const QByteArray marker("     (base 16)\t\t");
    VendorTable expected;
    int records = 0;
    int refused = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        if (!line.contains("(base")) {
            continue;
        }
        ++records;
        QVERIFY2(line.indexOf(marker) == 6, line.constData());
        const QByteArray key = line.left(6);
        for (char c : key) {
            QVERIFY2((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), line.constData());
        }
        // More blanks may come before the name; they are not part of it.
        QString name = QString::fromUtf8(line.mid(6 + marker.size()));
        while (!name.isEmpty() && name.front().isSpace()) {
            name.remove(0, 1);
        }
        const char32_t first = name.isEmpty() ? 0 : name.toUcs4().front();
        if (first == U'_' || QChar::isLetterOrNumber(first)) {
            expected[QString::fromLatin1(key)] = name;
        } else {
            ++refused;
        }
    }

    VendorTable table;
    LoadVendorListing(path, table);
    qInfo("carried listing: %d records, %d refused, %zu keys", records, refused, table.size());
    QVERIFY(records > 0);
    QCOMPARE(table.size(), expected.size());
    COMPARE_TABLES(table, expected);

    // And the straightforward line-by-line parse agrees entry for entry, with
    // the parse of the decoded text too.
    const QString text = QString::fromUtf8(bytes);
    COMPARE_TABLES(table, ReferenceParse(text));
    COMPARE_TABLES(Parse(text), table);
}

void TestVendorTable::parseBlocks()
{
    const QByteArray listing = "OUI-28/MA-M Range\t\tOrganization\n\n"
                               "70-B3-D5   (hex)\t\tShown\n"
                               "577000-577FFF     (base 16)\t\tFirst\n\t\t\t\tRue\n\n"
                               "00-50-C2          (hex)        Padded          \n"
                               "7D5000-7D5FFF     (base 16)    Padded Co  \r\n\n"
                               "60-95-CE   (hex)\t\tx\n800000-8FFFFF     (base 16)\t\tMedium\n"
                               "60-95-CE   (hex)\t\tx\n810000-81FFFF     (base 16)\t\tOdd range\n"
                               "60-95-CE   (hex)\t\tx\n900000-9FFFFF     (base 16)\t\t \t\n"
                               "A00000-AFFFFF     (base 16)\t\tNo OUI line\n"
                               "70-b3-d5   (hex)\t\tx\n577000-577fff     (base 16)\t\tSecond\n";
    MakerIndex blocks;
    blocks.blocks36.push_back({0x0000000FF, QStringLiteral("Kept")});
    ParseMakerBlocks(listing, blocks);
    QStringList made;
    for (const auto *list : {&blocks.blocks28, &blocks.blocks36})
        for (const MakerBlock &block : *list)
            made << QString::number(block.prefix, 16) + QLatin1Char(' ') + block.name;
    // The last record of a block wins.
    QCOMPARE(made,
             (QStringList{"6095ce8 Medium", "ff Kept", "50c27d5 Padded Co", "70b3d5577 Second"}));
}

void TestVendorTable::makerLookup_data()
{
    QTest::addColumn<Bytes>("mac");
    QTest::addColumn<QString>("listing"); // where the expected name comes from
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("local");

    QTest::newRow("MA-S inside 70B3D5") << Bytes{0x70, 0xB3, 0xD5, 0x57, 0x7A, 0xBC} << "oui36.txt"
                                        << "70B3D5577" << false;
    QTest::newRow("MA-M") << Bytes{0x60, 0x95, 0xCE, 0x8D, 0x00, 0x45} << "mam.txt"
                          << "6095CE8" << false;
    QTest::newRow("IAB") << Bytes{0x00, 0x50, 0xC2, 0x08, 0x0F, 0x01} << "iab.txt"
                         << "0050C2080" << false;
    QTest::newRow("OUI without smaller blocks")
        << Bytes{0x00, 0x00, 0x0C, 0x9F, 0xF0, 0x02} << "oui.txt"
        << "00000C" << false;
    QTest::newRow("five bytes reach the block")
        << Bytes{0x70, 0xB3, 0xD5, 0x57, 0x7A} << "oui36.txt"
        << "70B3D5577" << false;
    QTest::newRow("four bytes fall back to the OUI") << Bytes{0x70, 0xB3, 0xD5, 0x57} << "oui.txt"
                                                     << "70B3D5" << false;
    QTest::newRow("locally administered") << Bytes{0x02, 0x54, 0x4C, 0x00, 0x01, 0x28} << ""
                                          << "" << true;
    QTest::newRow("locally administered, listed")
        << Bytes{0x02, 0x07, 0x01, 0xAA, 0xBB, 0xCC} << "oui.txt"
        << "020701" << false;
    QTest::newRow("multicast with the local bit")
        << Bytes{0x33, 0x33, 0x00, 0x00, 0x00, 0x01} << "oui.txt"
        << "333300" << false;
    QTest::newRow("two bytes") << Bytes{0x02, 0x54} << ""
                               << "" << false;
}

void TestVendorTable::makerLookup()
{
    QFETCH(Bytes, mac);
    QFETCH(QString, listing);
    QFETCH(QString, key);
    QFETCH(bool, local);

    static MakerIndex makers;
    if (makers.ouis.empty())
        LoadMakers(makers);
    QVERIFY(!makers.blocks28.empty() && !makers.blocks36.empty());

    const QString expected = local               ? QStringLiteral("(adresse locale)")
                             : listing.isEmpty() ? QString()
                                                 : ListedName(listing, key);
    const Maker maker = LookupMaker(makers, mac);
    QCOMPARE(maker.name, expected);
    QCOMPARE(maker.locallyAdministered, local);
    if (!listing.isEmpty() && listing != QLatin1String("oui.txt")) {
        // A block inside an OUI that the 24-bit listing gives to the IEEE itself.
        QVERIFY(!expected.isEmpty());
        QCOMPARE(ListedName(QStringLiteral("oui.txt"), key.left(6)),
                 QStringLiteral("IEEE Registration Authority"));
    }
}

QTEST_GUILESS_MAIN(TestVendorTable)
#include "tst_vendortable.moc"
