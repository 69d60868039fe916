// Compiles the resource script that CMake makes from res/trelvan.rc.in with
// the MinGW resource compiler and reads the binary result back: icon,
// version block and manifest. Without the compiler the test reports itself
// skipped.

#include "trelvanversion.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <QtEndian>

#include <cstdio>

#ifndef TRELVAN_SOURCE_DIR
#error "TRELVAN_SOURCE_DIR must name the source tree"
#endif
#ifndef TRELVAN_RC_FILE
#error "TRELVAN_RC_FILE must name the generated resource script"
#endif

namespace {

constexpr int skipExitCode = 77;
const char windresName[] = "x86_64-w64-mingw32-windres";

constexpr quint16 rtIcon = 3;
constexpr quint16 rtGroupIcon = 14;
constexpr quint16 rtVersion = 16;
constexpr quint16 rtManifest = 24;
constexpr quint16 englishUS = 0x0409;

QString ResDir()
{
    return QStringLiteral(TRELVAN_SOURCE_DIR "/res");
}

quint16 U16(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}
quint32 U32(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}
qsizetype Align4(qsizetype at)
{
    return (at + 3) & ~qsizetype(3);
}

// A NUL-terminated UTF-16 string at `at`; `at` moves past the NUL.
QString Utf16z(const QByteArray &b, qsizetype &at)
{
    QString s;
    while (at + 1 < b.size()) {
        const quint16 c = U16(b, at);
        at += 2;
        if (c == 0) {
            break;
        }
        s += QChar(c);
    }
    return s;
}

struct Resource
{
    quint16 type = 0;
    quint16 name = 0;
    quint16 language = 0;
    QByteArray data;
};

// The .res file: a sequence of entries, each a header (sizes, type, name,
// flags, language) and its data, both padded to 4 bytes. Types and names
// here are all numbers (0xFFFF followed by the ordinal).
bool ParseRes(const QByteArray &res, QList<Resource> &out)
{
    qsizetype at = 0;
    while (at + 8 <= res.size()) {
        const quint32 dataSize = U32(res, at);
        const quint32 headerSize = U32(res, at + 4);
        if (headerSize < 32 || at + qsizetype(headerSize) + qsizetype(dataSize) > res.size()) {
            return false;
        }
        Resource r;
        qsizetype field = at + 8;
        if (U16(res, field) != 0xFFFF) {
            return false;
        }
        r.type = U16(res, field + 2);
        field += 4;
        if (U16(res, field) != 0xFFFF) {
            return false;
        }
        r.name = U16(res, field + 2);
        field = Align4(field + 4);
        r.language = U16(res, field + 6);
        r.data = res.mid(at + headerSize, dataSize);
        if (r.type != 0) { // the leading empty entry marks a 32-bit .res
            out << r;
        }
        at = Align4(at + headerSize + dataSize);
    }
    return at == res.size();
}

// One node of the version block: length, value length, type, key, value,
// children.
struct VersionNode
{
    QString key;
    QByteArray value; // binary value, or the text's UTF-16 bytes
    bool text = false;
    QList<VersionNode> children;

    const VersionNode *Child(const QString &name) const
    {
        for (const VersionNode &c : children) {
            if (c.key == name) {
                return &c;
            }
        }
        return nullptr;
    }
    QString Text() const
    {
        QString s = QString::fromUtf16(reinterpret_cast<const char16_t *>(value.constData()),
                                       value.size() / 2);
        while (s.endsWith(QChar(0))) {
            s.chop(1);
        }
        return s;
    }
};

bool ParseVersionNode(const QByteArray &b, qsizetype at, VersionNode &node, qsizetype &end)
{
    if (at + 6 > b.size()) {
        return false;
    }
    const quint16 length = U16(b, at);
    const quint16 valueLength = U16(b, at + 2);
    const quint16 type = U16(b, at + 4);
    end = at + length;
    if (length < 6 || end > b.size() || type > 1) {
        return false;
    }
    qsizetype field = at + 6;
    node.key = Utf16z(b, field);
    field = Align4(field);
    node.text = type == 1;
    const qsizetype valueBytes = node.text ? 2 * qsizetype(valueLength) : valueLength;
    if (field + valueBytes > end) {
        return false;
    }
    node.value = b.mid(field, valueBytes);
    field = Align4(field + valueBytes);
    while (field < end) {
        VersionNode child;
        qsizetype childEnd = 0;
        if (!ParseVersionNode(b, field, child, childEnd)) {
            return false;
        }
        node.children << child;
        field = Align4(childEnd);
    }
    return true;
}

} // namespace

class TestWindowsResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resourceList();
    void iconGroup();
    void iconImages_data();
    void iconImages();
    void versionFixed();
    void versionStrings_data();
    void versionStrings();
    void versionTableKeys();
    void versionTranslation();
    void manifest();

private:
    const Resource *Find(quint16 type, quint16 name) const;

    QTemporaryDir dir;
    QList<Resource> resources;
    QByteArray ico;
    VersionNode version;
};

const Resource *TestWindowsResources::Find(quint16 type, quint16 name) const
{
    for (const Resource &r : resources) {
        if (r.type == type && r.name == name) {
            return &r;
        }
    }
    return nullptr;
}

void TestWindowsResources::initTestCase()
{
    QVERIFY(dir.isValid());
    const QString output = dir.filePath(QStringLiteral("trelvan.res"));

    QProcess windres;
    windres.setWorkingDirectory(ResDir());
    windres.start(QStandardPaths::findExecutable(QLatin1String(windresName)),
                  {QStringLiteral("--input-format=rc"), QStringLiteral("--output-format=res"),
                   QStringLiteral("-I"), ResDir(), QStringLiteral("-i"),
                   QStringLiteral(TRELVAN_RC_FILE), QStringLiteral("-o"), output});
    QVERIFY(windres.waitForFinished(120000));
    const QByteArray errors = windres.readAllStandardError();
    QVERIFY2(windres.exitStatus() == QProcess::NormalExit && windres.exitCode() == 0,
             errors.constData());
    QVERIFY2(errors.trimmed().isEmpty(), errors.constData());

    QFile res(output);
    QVERIFY(res.open(QIODevice::ReadOnly));
    QVERIFY(ParseRes(res.readAll(), resources));

    QFile icoFile(ResDir() + QStringLiteral("/trelvan.ico"));
    QVERIFY(icoFile.open(QIODevice::ReadOnly));
    ico = icoFile.readAll();
    QVERIFY(ico.size() > 6);

    const Resource *block = Find(rtVersion, 1);
    QVERIFY(block);
    qsizetype end = 0;
    QVERIFY(ParseVersionNode(block->data, 0, version, end));
    QCOMPARE(end, block->data.size());
}

void TestWindowsResources::resourceList()
{
    QList<QPair<quint16, quint16>> found;
    for (const Resource &r : resources) {
        found << qMakePair(r.type, r.name);
        QCOMPARE(r.language, englishUS);
    }
    std::sort(found.begin(), found.end());
    const QList<QPair<quint16, quint16>> expected = {
        {rtIcon, 1},      {rtIcon, 2},    {rtIcon, 3},     {rtIcon, 4},
        {rtGroupIcon, 1}, {rtVersion, 1}, {rtManifest, 1},
    };
    QCOMPARE(found, expected);
}

void TestWindowsResources::iconGroup()
{
    const Resource *group = Find(rtGroupIcon, 1);
    QVERIFY(group);
    const QByteArray &g = group->data;
    const int count = U16(ico, 4);
    QCOMPARE(g.size(), 6 + 14 * count);
    QCOMPARE(U16(g, 0), quint16(0));
    QCOMPARE(U16(g, 2), quint16(1));
    QCOMPARE(int(U16(g, 4)), count);

    // Same entries as the .ico directory, in its order, the offset replaced
    // by the icon's resource number.
    const int sizes[] = {16, 32, 48, 64};
    QCOMPARE(count, int(std::size(sizes)));
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = 6 + 14 * i;
        QCOMPARE(int(quint8(g[entry])), sizes[i]);
        QCOMPARE(int(quint8(g[entry + 1])), sizes[i]);
        QCOMPARE(g.mid(entry, 12), ico.mid(6 + 16 * i, 12));
        QCOMPARE(U16(g, entry + 6), quint16(32));
        QCOMPARE(U16(g, entry + 12), quint16(i + 1));
    }
}

void TestWindowsResources::iconImages_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < 4; ++i) {
        QTest::addRow("icon %d", i + 1) << i;
    }
}

void TestWindowsResources::iconImages()
{
    QFETCH(int, index);
    const Resource *icon = Find(rtIcon, quint16(index + 1));
    QVERIFY(icon);
    const qsizetype entry = 6 + 16 * index;
    QVERIFY(icon->data == ico.mid(U32(ico, entry + 12), U32(ico, entry + 8)));
}

void TestWindowsResources::versionFixed()
{
    QCOMPARE(version.key, QStringLiteral("VS_VERSION_INFO"));
    QVERIFY(!version.text);
    const QByteArray &f = version.value;
    QCOMPARE(f.size(), 52);
    QCOMPARE(U32(f, 0), quint32(0xFEEF04BD)); // signature
    const quint32 majorMinor = TRELVAN_VERSION_MAJOR << 16 | TRELVAN_VERSION_MINOR;
    const quint32 patch = quint32(TRELVAN_VERSION_PATCH) << 16;
    QCOMPARE(U32(f, 8), majorMinor);        // file version 1.0
    QCOMPARE(U32(f, 12), patch);            // .2.0
    QCOMPARE(U32(f, 16), majorMinor);       // product version 1.0
    QCOMPARE(U32(f, 20), patch);            // .2.0
    QCOMPARE(U32(f, 24), quint32(0x3F));    // flags mask
    QCOMPARE(U32(f, 28), quint32(0));       // flags
    QCOMPARE(U32(f, 32), quint32(0x40000)); // Windows NT
    QCOMPARE(U32(f, 36), quint32(1));       // application
    QCOMPARE(U32(f, 40), quint32(0));       // subtype
    QCOMPARE(U32(f, 44), quint32(0));       // date
    QCOMPARE(U32(f, 48), quint32(0));
}

void TestWindowsResources::versionStrings_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    const QString english = QStringLiteral("040904b0");
    const QString french = QStringLiteral("040c04b0");
    const QString englishDescription = QStringLiteral("Trelvan - List hosts on a network");
    const QString frenchDescription = QStringLiteral("Trelvan - Liste les machines sur un réseau");
    for (const QString &table : {english, french}) {
        const QString description = table == english ? englishDescription : frenchDescription;
        const QByteArray t = table.toLatin1();
        QTest::addRow("%s CompanyName", t.constData())
            << table << QStringLiteral("CompanyName") << QStringLiteral("Dantrix");
        QTest::addRow("%s FileDescription", t.constData())
            << table << QStringLiteral("FileDescription") << description;
        QTest::addRow("%s FileVersion", t.constData())
            << table << QStringLiteral("FileVersion") << QStringLiteral(TRELVAN_VERSION_RC_TEXT);
        QTest::addRow("%s InternalName", t.constData())
            << table << QStringLiteral("InternalName") << QStringLiteral("trelvan");
        QTest::addRow("%s OriginalFilename", t.constData())
            << table << QStringLiteral("OriginalFilename") << QStringLiteral("trelvan.exe");
        QTest::addRow("%s ProductName", t.constData())
            << table << QStringLiteral("ProductName") << description;
        QTest::addRow("%s ProductVersion", t.constData())
            << table << QStringLiteral("ProductVersion") << QStringLiteral(TRELVAN_VERSION_RC_TEXT);
    }
}

void TestWindowsResources::versionStrings()
{
    QFETCH(QString, table);
    QFETCH(QString, key);
    QFETCH(QString, value);

    const VersionNode *strings = version.Child(QStringLiteral("StringFileInfo"));
    QVERIFY(strings);
    const VersionNode *t = strings->Child(table);
    QVERIFY(t);
    const VersionNode *entry = t->Child(key);
    QVERIFY(entry);
    QVERIFY(entry->text);
    QCOMPARE(entry->Text(), value);
}

void TestWindowsResources::versionTableKeys()
{
    const VersionNode *strings = version.Child(QStringLiteral("StringFileInfo"));
    QVERIFY(strings);
    QStringList tables;
    for (const VersionNode &t : strings->children) {
        tables << t.key;
        QStringList keys;
        for (const VersionNode &s : t.children) {
            keys << s.key;
            QVERIFY2(!s.Text().isEmpty(), qPrintable(s.key));
        }
        keys.sort();
        QCOMPARE(keys, QStringList({"CompanyName", "FileDescription", "FileVersion", "InternalName",
                                    "LegalCopyright", "OriginalFilename", "ProductName",
                                    "ProductVersion"}));
    }
    QCOMPARE(tables, QStringList({"040904b0", "040c04b0"}));
}

void TestWindowsResources::versionTranslation()
{
    const VersionNode *vars = version.Child(QStringLiteral("VarFileInfo"));
    QVERIFY(vars);
    const VersionNode *translation = vars->Child(QStringLiteral("Translation"));
    QVERIFY(translation);
    QVERIFY(!translation->text);
    // One pair only: French, Unicode.
    QCOMPARE(translation->value.size(), 4);
    QCOMPARE(U16(translation->value, 0), quint16(0x040C));
    QCOMPARE(U16(translation->value, 2), quint16(0x04B0));
}

void TestWindowsResources::manifest()
{
    const Resource *m = Find(rtManifest, 1);
    QVERIFY(m);
    QFile source(ResDir() + QStringLiteral("/trelvan.manifest"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(m->data, source.readAll());

    QXmlStreamReader xml(m->data);
    bool level = false;
    bool controls = false;
    QString dpiAware, dpiAwareness; // per monitor, the newer form first
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QLatin1String("requestedExecutionLevel")) {
            QCOMPARE(a.value(QLatin1String("level")), QLatin1String("asInvoker"));
            QCOMPARE(a.value(QLatin1String("uiAccess")), QLatin1String("false"));
            level = true;
        } else if (xml.name() == QLatin1String("assemblyIdentity")) {
            QCOMPARE(a.value(QLatin1String("name")),
                     QLatin1String("Microsoft.Windows.Common-Controls"));
            QCOMPARE(a.value(QLatin1String("version")), QLatin1String("6.0.0.0"));
            QCOMPARE(a.value(QLatin1String("type")), QLatin1String("win32"));
            QCOMPARE(a.value(QLatin1String("processorArchitecture")), QLatin1String("*"));
            QCOMPARE(a.value(QLatin1String("language")), QLatin1String("*"));
            controls = true;
        } else if (xml.name() == QLatin1String("dpiAware")) {
            dpiAware = xml.readElementText();
        } else if (xml.name() == QLatin1String("dpiAwareness")) {
            dpiAwareness = xml.readElementText();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(level);
    QVERIFY(controls);
    QCOMPARE(dpiAware, QStringLiteral("true/pm"));
    QCOMPARE(dpiAwareness, QStringLiteral("PerMonitorV2, PerMonitor"));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QLatin1String(windresName)).isEmpty()) {
        std::printf("SKIP: %s not found\n", windresName);
        return skipExitCode;
    }
    TestWindowsResources test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windres.moc"
