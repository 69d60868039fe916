// The comments' load from the settings store, their harvest from the hosts
// table and their save, without a window.
#include "results/comments.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>

#include <sddl.h>
#endif

namespace {

// One table row per entry: {MAC text, comment text}.
using Rows = QList<QStringList>;

void FillTable(QTableWidget &table, const Rows &rows)
{
    table.setColumnCount(5);
    table.setRowCount(int(rows.size()));
    for (int row = 0; row < rows.size(); ++row) {
        table.setItem(row, 0, new QTableWidgetItem(rows[row].at(1)));
        table.setItem(row, 2, new QTableWidgetItem(rows[row].at(0)));
    }
}

QByteArray FileBytes(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifdef Q_OS_LINUX
// Points the settings store at folder for the life of the guard.
auto SettingsIn(const QString &folder, const QString &previous)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    return qScopeGuard([previous] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, previous);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, previous);
    });
}

// Fills the file system of name with it, then gives back freePages pages.
void FillUp(const QString &name, int freePages)
{
    QFile filler(name);
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray page(4096, 'x');
    while (filler.write(page) == page.size()) {
    }
    const qint64 pages = (filler.size() + 4095) / 4096;
    QVERIFY(pages > freePages);
    QVERIFY(filler.resize((pages - freePages) * 4096));
}
#endif

#ifdef Q_OS_WIN
// Lets everyone only read the registry key (a path under HKEY_CURRENT_USER),
// or do everything again.
bool SetKeyReadOnly(const QString &path, bool readOnly)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t *>(path.utf16()), 0,
                        READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool made = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        readOnly ? L"D:P(A;;KR;;;WD)" : L"D:P(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr);
    const bool set =
        made && ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    ::RegCloseKey(key);
    return set;
}
#endif

QStringList StoredKeys()
{
    QSettings settings;
    return settings.allKeys();
}

} // namespace

class TestComments : public QObject
{
    Q_OBJECT

private:
    TemporarySettings settings;

private slots:
    void initTestCase()
    {
        settings.useProgramIdentity();
        QVERIFY(QSettings().fileName().startsWith(settings.path()));
    }

    void init()
    {
        QSettings store;
        store.clear();
    }

    // --- load ---

    void loadReadsTheGroupOnly()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/00:1A:2B:3C:4D:5E"), QStringLiteral("NAS"));
            store.setValue(QStringLiteral("Comments/00:1A:2B:3C:4D:5F"), QString());
            store.setValue(QStringLiteral("Comments/0A:0B:0C"), 42);
            store.setValue(QStringLiteral("Autre/00:1A:2B:3C:4D:60"), QStringLiteral("ailleurs"));
            store.setValue(QStringLiteral("racine"), QStringLiteral("hors groupe"));
        }
        CommentMap comments{{"00:1A:2B:3C:4D:5E", "ancien"}, {"FF:FF:FF:FF:FF:FF", "gardé"}};
        LoadComments(comments);
        const CommentMap expected{{"00:1A:2B:3C:4D:5E", "NAS"},
                                  {"00:1A:2B:3C:4D:5F", ""},
                                  {"0A:0B:0C", "42"},
                                  {"FF:FF:FF:FF:FF:FF", "gardé"}};
        QCOMPARE(comments, expected);
    }

    void loadFromAnEmptyStoreAddsNothing()
    {
        CommentMap comments{{"00:1A:2B:3C:4D:5E", "reste"}};
        LoadComments(comments);
        QCOMPARE(comments, (CommentMap{{"00:1A:2B:3C:4D:5E", "reste"}}));
    }

    // --- harvest ---

    void harvest_data()
    {
        QTest::addColumn<CommentMap>("before");
        QTest::addColumn<Rows>("rows");
        QTest::addColumn<int>("edited");
        QTest::addColumn<CommentMap>("after");

        const QString A = QStringLiteral("00:1A:2B:3C:4D:5E");
        QTest::newRow("typed comment is taken")
            << CommentMap{} << Rows{{A, "imprimante"}} << -1 << CommentMap{{A, "imprimante"}};
        QTest::newRow("edited comment overwrites")
            << CommentMap{{A, "ancien"}} << Rows{{A, "nouveau"}} << 0 << CommentMap{{A, "nouveau"}};
        QTest::newRow("emptied cell removes")
            << CommentMap{{A, "ancien"}, {"00:1A:2B:3C:4D:5F", "autre"}} << Rows{{A, ""}} << -1
            << CommentMap{{"00:1A:2B:3C:4D:5F", "autre"}};
        QTest::newRow("stored empty value on an empty row goes")
            << CommentMap{{A, ""}} << Rows{{A, ""}} << -1 << CommentMap{};
        QTest::newRow("hosts not shown keep theirs")
            << CommentMap{{"AA:BB:CC:DD:EE:FF", "absent"}, {"11:22:33:44:55:66", ""}}
            << Rows{{A, "présent"}} << -1
            << CommentMap{
                   {"AA:BB:CC:DD:EE:FF", "absent"}, {"11:22:33:44:55:66", ""}, {A, "présent"}};
        // Rows of one card: the one the user changed wins, wherever it is;
        // the others still show what was stored.
        QTest::newRow("edit of the first of two rows")
            << CommentMap{{A, "commun"}} << Rows{{A, "premier"}, {A, "commun"}} << -1
            << CommentMap{{A, "premier"}};
        QTest::newRow("edit of the second of two rows")
            << CommentMap{{A, "commun"}} << Rows{{A, "commun"}, {A, "second"}} << -1
            << CommentMap{{A, "second"}};
        QTest::newRow("first of two rows emptied")
            << CommentMap{{A, "commun"}} << Rows{{A, ""}, {A, "commun"}} << -1 << CommentMap{};
        QTest::newRow("typed on a row of a card without comment")
            << CommentMap{} << Rows{{A, "premier"}, {A, ""}} << -1 << CommentMap{{A, "premier"}};
        QTest::newRow("a stored empty value yields to a row's text")
            << CommentMap{{A, ""}} << Rows{{A, ""}, {A, "second"}} << -1
            << CommentMap{{A, "second"}};
        QTest::newRow("the edited row wins over another change")
            << CommentMap{{A, "commun"}} << Rows{{A, "édité"}, {A, "autre"}} << 0
            << CommentMap{{A, "édité"}};
        QTest::newRow("the edited row wins even unchanged")
            << CommentMap{{A, "commun"}} << Rows{{A, ""}, {A, "commun"}} << 1
            << CommentMap{{A, "commun"}};
        QTest::newRow("no rows") << CommentMap{{A, "x"}} << Rows{} << -1 << CommentMap{{A, "x"}};
        QTest::newRow("blank is not empty")
            << CommentMap{} << Rows{{A, " "}} << -1 << CommentMap{{A, " "}};
    }

    void harvest()
    {
        QFETCH(CommentMap, before);
        QFETCH(Rows, rows);
        QFETCH(int, edited);
        QFETCH(CommentMap, after);
        QTableWidget table;
        FillTable(table, rows);
        CommentMap comments = before;
        HarvestComments(&table, comments, edited);
        QCOMPARE(comments, after);
        // Reading the cells changes none of them.
        for (int row = 0; row < rows.size(); ++row)
            QCOMPARE(table.item(row, 0)->text(), rows[row].at(1));
    }

    // --- save ---

    // The group holds exactly the comments; every other group and value of
    // the store stays as it was.
    void saveWritesTheGroupAndKeepsTheRest()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/AA:BB:CC:DD:EE:FF"), QStringLiteral("oublié"));
            store.setValue(QStringLiteral("Comments/00:1A:2B:3C:4D:5E"), QStringLiteral("ancien"));
            store.setValue(QStringLiteral("Autre/clef"), QStringLiteral("valeur"));
            store.setValue(QStringLiteral("racine"), 7);
        }
        const CommentMap comments{
            {"00:1A:2B:3C:4D:5E", "imprimante"}, {"00:1A:2B:3C:4D:5F", ""}, {"0A:0B:0C", "court"}};
#ifdef Q_OS_LINUX
        // The user's alone, though the file was the umask's and the umask lets all read.
        const mode_t umaskWas = umask(0);
        const auto restore = qScopeGuard([umaskWas] { umask(umaskWas); });
        QVERIFY(chmod(QFile::encodeName(QSettings().fileName()).constData(), 0644) == 0);
#endif
        QVERIFY(SaveComments(comments).saved());
#ifdef Q_OS_LINUX
        struct stat file = {};
        QVERIFY(stat(QFile::encodeName(QSettings().fileName()).constData(), &file) == 0);
        QCOMPARE(file.st_mode & 07777, mode_t(0600));
#endif

        QStringList keys = StoredKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"Autre/clef", "Comments/00:1A:2B:3C:4D:5E",
                                    "Comments/00:1A:2B:3C:4D:5F", "Comments/0A:0B:0C", "racine"}));
        QSettings store;
        QCOMPARE(store.value(QStringLiteral("Autre/clef")).toString(), QStringLiteral("valeur"));
        QCOMPARE(store.value(QStringLiteral("racine")).toInt(), 7);
        QCOMPARE(store.value(QStringLiteral("Comments/00:1A:2B:3C:4D:5E")).toString(),
                 QStringLiteral("imprimante"));
        QVERIFY(store.contains(QStringLiteral("Comments/00:1A:2B:3C:4D:5F")));
        QCOMPARE(store.value(QStringLiteral("Comments/00:1A:2B:3C:4D:5F")).toString(), QString());
    }

    void saveReachesTheFile()
    {
#ifdef Q_OS_WIN
        QSKIP("the store is the registry");
#endif
        SaveComments({{"00:1A:2B:3C:4D:5E", "sur le disque"}});
        QFile file(QSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        QVERIFY2(contents.contains("[Comments]"), contents.constData());
        QVERIFY2(contents.contains("sur le disque"), contents.constData());
    }

    void saveOfNothingEmptiesTheStore()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/AA:BB:CC:DD:EE:FF"), QStringLiteral("x"));
        }
        SaveComments({});
        QVERIFY(StoredKeys().isEmpty());
    }

    // The file is the settings store's own text, byte for byte, and loads
    // back as it was saved.
    void saveWritesTheStoresTextAndLoadsBack()
    {
        const CommentMap comments{{"00:1A:2B:3C:4D:5E", "Café, à l'étage; \"salle\" = 2"},
                                  {"00:1A:2B:3C:4D:5F", ""},
                                  {"00:1A:2B:3C:4D:60", "@maison\t\x01"
                                                        "c \\ "},
                                  {"00:1A:2B:3C:4D:61", QString(QChar(0)) + "a 日本 😀"},
                                  {"05", " un octet"},
                                  {"01:02:03:04:05:06:07:08", "long\nsur deux lignes"}};
        SaveComments(comments);
        CommentMap loaded;
        LoadComments(loaded);
        QCOMPARE(loaded, comments);

#ifndef Q_OS_WIN // the registry has no text to compare
        const QString toolkitFile = settings.path() + QStringLiteral("/toolkit.conf");
        {
            QSettings toolkit(toolkitFile, QSettings::IniFormat);
            for (const auto &[key, comment] : comments)
                toolkit.setValue(QStringLiteral("Comments/") + key, comment);
        }
        QCOMPARE(FileBytes(QSettings().fileName()), FileBytes(toolkitFile));
#endif
    }

    // A save that fails leaves the previous file byte for byte, with nothing
    // beside it, and says why: a full file system with no page left (the
    // lock cannot be taken) or one page (the new text cannot be written), the
    // file system read-only. Once space is freed the new comments land.
    void failedSaveLeavesThePreviousFile()
    {
#ifdef Q_OS_LINUX
        if (geteuid() != 0)
            QSKIP("mounting a small file system takes root");
        QTemporaryDir mountPoint;
        const QByteArray point = QFile::encodeName(mountPoint.path());
        QVERIFY(mount("trelvan-test", point.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0);
        const auto unmount = qScopeGuard([&point] { umount2(point.constData(), MNT_DETACH); });
        const auto restore =
            SettingsIn(mountPoint.path() + QStringLiteral("/config"), settings.path());
        const QString fileName = QSettings().fileName();
        const QString folder = QFileInfo(fileName).absolutePath();

        QSettings(fileName, QSettings::IniFormat)
            .setValue(QStringLiteral("Autre/clef"), QStringLiteral("valeur"));
        const CommentMap earlier{{ "00:1A:2B:3C:4D:5E", "ancien" }};
        QVERIFY(SaveComments(earlier).saved());
        const QByteArray before = FileBytes(fileName);
        QVERIFY(before.contains("ancien") && before.contains("[Autre]\nclef=valeur\n"));
        const QStringList entries =
            QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        CommentMap later = earlier;
        later["00:1A:2B:3C:4D:5F"] = QStringLiteral("nouveau");

        const QString filler = mountPoint.path() + QStringLiteral("/filler");
        for (const int freePages : {0, 1}) {
            FillUp(filler, freePages);
            const CommentSave save = SaveComments(later);
            QCOMPARE(save.fault, SaveFault::DiskFull);
            QCOMPARE(save.fileName, fileName);
            QCOMPARE(FileBytes(fileName), before);
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     entries);
        }

        QVERIFY(QFile::remove(filler));
        QVERIFY(mount(nullptr, point.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0);
        QCOMPARE(SaveComments(later).fault, SaveFault::ReadOnly);
        QCOMPARE(FileBytes(fileName), before);
        QVERIFY(mount(nullptr, point.constData(), nullptr, MS_REMOUNT, nullptr) == 0);

        QVERIFY(SaveComments(later).saved());
        CommentMap loaded;
        LoadComments(loaded);
        QCOMPARE(loaded, later);
        QVERIFY(FileBytes(fileName).startsWith("[Autre]\nclef=valeur\n\n[Comments]\n"));
#else
        QSKIP("Linux only");
#endif
    }

    // In the registry, a save that fails (here: a key its user may only
    // read) leaves every other group and value as it was, and no comment is
    // lost. (saveWritesTheGroupAndKeepsTheRest is the save that succeeds.)
    void failedSaveKeepsTheRegistry()
    {
#ifdef Q_OS_WIN
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/00:1A:2B:3C:4D:5E"), QStringLiteral("ancien"));
            store.setValue(QStringLiteral("Autre/clef"), QStringLiteral("valeur"));
            store.setValue(QStringLiteral("racine"), 7);
        }
        const QString key = settings.path().mid(int(qstrlen("\\HKEY_CURRENT_USER\\"))) +
                            QStringLiteral("\\Comments");
        QVERIFY(SetKeyReadOnly(key, true));
        const CommentSave failed = SaveComments({{ "0A:0B:0C", "neuf" }});
        QVERIFY(SetKeyReadOnly(key, false));
        QVERIFY(!failed.saved());
        QStringList keys = StoredKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"Autre/clef", "Comments/00:1A:2B:3C:4D:5E", "racine"}));
        QCOMPARE(QSettings().value(QStringLiteral("racine")).toInt(), 7);
#else
        QSKIP("the registry is Windows' (failedSaveLeavesThePreviousFile is the file's)");
#endif
    }

    // A damaged or hand-edited file: a typed value reads as the text it
    // spells, never decoded, wherever it stands; a MAC text between slashes
    // reads as that MAC text; any other key is saved back as it was.
    void handEditedFileLoadsAndSavesBack()
    {
#ifdef Q_OS_WIN
        QSKIP("the store is the registry");
#endif
        const QByteArray poison = "@DateTime(\\0\\0\\0G\\0\\0\\x10\\0\\0)";
        {
            QFile file(QSettings().fileName());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Autre]\nclef=" + poison +
                       "\n[Comments]\n"
                       "\\00%3A1A%3A2B%3A3C%3A4D%3A5E=caché\n"
                       "\\\\00%3A1A%3A2B%3A3C%3A4D%3A5F=double\n"
                       "00%3A1A%3A2B%3A3C%3A4D%3A60=" +
                       poison +
                       "\n"
                       "=vide\n"
                       "a\\\\b=autre\n");
        }
        CommentMap comments;
        LoadComments(comments);
        const CommentMap expected{
            {"", "vide"},
            {"00:1A:2B:3C:4D:5E", "caché"},
            {"00:1A:2B:3C:4D:5F", "double"},
            {"00:1A:2B:3C:4D:60", QString::fromLatin1("@DateTime(\0\0\0G\0\0\x10\0\0)", 20)},
            {"a//b", "autre"}};
        QCOMPARE(comments, expected);

        SaveComments(comments);
        const QByteArray saved = FileBytes(QSettings().fileName());
        // The other group is written back as it was, its value undecoded.
        QVERIFY2(saved.startsWith("[Autre]\nclef=" + poison + "\n"), saved.constData());
        QVERIFY2(saved.contains("\n=vide\n"), saved.constData());
        QVERIFY2(saved.contains("\na\\\\b=autre\n"), saved.constData());
        QVERIFY2(saved.contains("\n00%3A1A%3A2B%3A3C%3A4D%3A5E=caché\n"), saved.constData());
        CommentMap reloaded;
        LoadComments(reloaded);
        QCOMPARE(reloaded, expected);
    }
};

QTEST_MAIN(TestComments)
#include "tst_comments.moc"
