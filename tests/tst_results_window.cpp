// The window's side of the results: the rebuild of the hosts table from
// published answers, the comments kept across rebuilds and runs, the
// presence history's notices, tooltips and dialog, the About box, the web
// links and the Close button. The published maps are plain data and no
// address in them is ever contacted.
#include "app/historydialog.h"
#include "app/historytable.h"
#include "fakes.h"
#include "messagelog.h"
#include "presence/clock.h"
#include "presence/timeline.h"
#include "results/hoststable.h"
#include "results/qttranslation.h"
#include "testsupport.h"
#include "tooltip.h"
#include "trelvanversion.h"
#include "windowstate.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QUrl>

#include <functional>
#include <memory>
#include <set>

using fakes::NetworkOrder;

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes MacA{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Bytes MacB{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
const QString TextA = QStringLiteral("00:1A:2B:3C:4D:5E");
const QString TextB = QStringLiteral("00:1A:2B:3C:4D:5F");
const QStringList HeaderLabels{"Commentaire", "Adresse IP", "Adresse MAC", "Fabricant",
                               "Site web ?"};

QTableWidget *Table(TrelvanWindow &window)
{
    return WindowInspector::ui(window).Hosts_;
}

// Hands the window a scan result and lets one heartbeat take it, and the
// history record it.
void Show(TrelvanWindow &window, const HostMap &hosts)
{
    window.PublishHosts(hosts);
    WindowInspector::tick(window);
    QVERIFY(WindowInspector::settle(window));
}

QStringList Column(TrelvanWindow &window, int column)
{
    QStringList texts;
    QTableWidget *table = Table(window);
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, column);
        texts << (item ? item->text() : QStringLiteral("<none>"));
    }
    return texts;
}

QStringList Headers(QTableWidget *table)
{
    QStringList labels;
    for (int column = 0; column < table->columnCount(); ++column) {
        const QTableWidgetItem *item = table->horizontalHeaderItem(column);
        labels << (item ? item->text() : QStringLiteral("<none>"));
    }
    return labels;
}

QStringList MachinesLines()
{
    return MessageLog::lines().filter(QRegularExpression(QStringLiteral("^Machines=")));
}

QString StoredComment(const QString &mac)
{
    QSettings store;
    return store.value(QStringLiteral("Comments/") + mac).toString();
}

bool IsStored(const QString &mac)
{
    QSettings store;
    return store.contains(QStringLiteral("Comments/") + mac);
}

// The user's typing, as the table would report it when the editor closes.
void Type(TrelvanWindow &window, int row, const QString &text)
{
    Table(window)->item(row, 0)->setText(text);
}

// Text put into a cell without the table telling anyone, as if the user were
// still typing.
void TypeUnfinished(TrelvanWindow &window, int row, const QString &text)
{
    const QSignalBlocker blocker(Table(window));
    Table(window)->item(row, 0)->setText(text);
}

const QString MacC = QStringLiteral("00:1A:2B:3C:4D:09");

Bytes MacOfText(const QString &text)
{
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1().replace(':', ""));
    return Bytes(bytes.begin(), bytes.end());
}

// The strips' right end, and a moment hours before it.
const qint64 StripEnd = QDateTime(QDate(2026, 12, 9), QTime(8, 30)).toMSecsSinceEpoch();
qint64 HoursAgo(double hours)
{
    return StripEnd - qint64(hours * 3600 * 1000);
}

// The texts of a column of the history, in the rows' order, hidden rows out.
QStringList ShownColumn(QTableWidget *table, int column)
{
    QStringList texts;
    for (int row = 0; row < table->rowCount(); ++row)
        if (!table->isRowHidden(row))
            texts << table->item(row, column)->text();
    return texts;
}

using CardEvents = std::vector<presence::CardEvent>;
using Spans = std::vector<presence::PresenceSpan>;

// Answers the next modal message box from inside its own event loop: runs
// answer on it, then closes it whatever answer did.
void AnswerMessageBox(QObject *context, std::function<void(QMessageBox *)> answer)
{
    QTimer::singleShot(100, context, [answer] {
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            const QWidgetList windows = QApplication::topLevelWidgets();
            for (QWidget *widget : windows)
                if (auto *found = qobject_cast<QMessageBox *>(widget); found && found->isVisible())
                    box = found;
        }
        answer(box);
        if (box)
            box->accept();
    });
}

// Clicks a button of the next modal message box, from inside its loop.
void AnswerQuestion(QObject *context, QMessageBox::StandardButton answer)
{
    QTimer::singleShot(100, context, [answer] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->button(answer)->click();
    });
}

qint64 historyNow = 0; // the presence rule's clock
qint64 HistoryNow()
{
    return historyNow;
}

// One record of the embedded OUI listing that appears once, for a lookup
// whose answer does not depend on which record wins.
bool EmbeddedVendor(QString &key, QString &name, std::set<QString> &allKeys)
{
    QFile file(QStringLiteral(":/res/oui.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString listing = QString::fromUtf8(file.readAll());
    const QRegularExpression record(
        QStringLiteral(R"(^([0-9A-Fa-f]{6})[ \t]*\(base 16\)[ \t]*(.*)$)"),
        QRegularExpression::MultilineOption);
    std::map<QString, std::pair<QString, int>> seen;
    auto matches = record.globalMatch(listing);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        auto &entry = seen[match.captured(1).toUpper()];
        entry.first = match.captured(2);
        ++entry.second;
    }
    for (const auto &[k, entry] : seen)
        allKeys.insert(k);
    for (const auto &[k, entry] : seen) {
        if (entry.second == 1 && !entry.first.isEmpty() && entry.first == entry.first.trimmed() &&
            entry.first.at(0).isLetterOrNumber()) {
            key = k;
            name = entry.first;
            return true;
        }
    }
    return false;
}

Bytes MacOfKey(const QString &key, unsigned char last)
{
    const QByteArray bytes = QByteArray::fromHex(key.toLatin1());
    return Bytes{static_cast<unsigned char>(bytes[0]),
                 static_cast<unsigned char>(bytes[1]),
                 static_cast<unsigned char>(bytes[2]),
                 0x10,
                 0x20,
                 last};
}

// Collects what the desktop is asked to open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls << url; }
};

// Counts the heartbeats that reach the window.
class TickCounter : public QObject
{
public:
    explicit TickCounter(int timerId) : id(timerId) {}
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Timer && static_cast<QTimerEvent *>(event)->timerId() == id)
            ++count;
        return false;
    }

private:
    int id;
};

enum class Change
{
    None,
    NameOnly,
    WebFlag,
    OneMacByte,
    LongerMac,
    OneHostMore,
    OneHostFewer,
    OtherAddress
};

} // namespace

Q_DECLARE_METATYPE(Change)
Q_DECLARE_METATYPE(CardEvents)
Q_DECLARE_METATYPE(Spans)

class TestResultsWindow : public QObject
{
    Q_OBJECT

private:
    TemporarySettings settings;
    // No interfaces, but a fake one for the history's tests: its scans,
    // through the fake resolution, find nothing.
    fakes::SafeNetwork network;
    std::unique_ptr<MessageLog> log;
    FakeNotifier notifier;

    HostMap TwoHosts()
    {
        return {{NetworkOrder("192.168.1.20"), HostRecord{MacA, true}},
                {NetworkOrder("192.168.1.21"), HostRecord{MacB, false}}};
    }

    // A history of 198.51.100.0/24: A there all along; C (198.51.100.9) and
    // B there for a day from the first scan, then gone (leftAt), two hours
    // before now; the dialog open on it.
    qint64 leftAt = 0;
    HistoryDialog *OpenHistory(TrelvanWindow &window)
    {
        NoRefresh();
        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        WindowInspector::finishScan(window); // the network's first scan
        const HostMap three{{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}},
                            {NetworkOrder("198.51.100.21"), HostRecord{MacB, false}},
                            {NetworkOrder("198.51.100.9"), HostRecord{MacOfText(MacC), false}}};
        const HostMap one{{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}}};
        Show(window, three);
        historyNow += 24 * 3600 * 1000;
        Show(window, three);
        for (int scan = 0; scan < 3; ++scan) {
            historyNow += 30000;
            Show(window, one);
        }
        leftAt = historyNow;
        historyNow += 2 * 3600 * 1000;
        Show(window, one);
        WindowInspector::ui(window).History_->click();
        auto *dialog = window.findChild<HistoryDialog *>();
        return dialog;
    }

    // The scans of the history's tests are those the test publishes: the
    // heartbeat's time of day stands still.
    static void NoRefresh()
    {
        TrelvanWindow::SetClock([] { return QTime(12, 0); });
    }

private slots:
    void initTestCase()
    {
        settings.useProgramIdentity();
        QVERIFY(QSettings().fileName().startsWith(settings.path()));
        log = std::make_unique<MessageLog>();
        TrelvanWindow::SetNotifier(&notifier);
        presence::SetClock(&HistoryNow);
    }

    void cleanupTestCase()
    {
        log.reset();
        presence::SetClock(nullptr);
    }

    void init()
    {
        network.reset();
        {
            QSettings store;
            store.clear();
        }
        MessageLog::clear();
        ForgetHistory();
        notifier.notices.clear();
        historyNow = QDateTime(QDate(2026, 12, 7), QTime(22, 14, 30)).toMSecsSinceEpoch();
        TrelvanWindow::SetClock(nullptr);
    }

    // --- the rebuild ---

    void machinesLineForTwelveHosts()
    {
        TrelvanWindow window;
        HostMap hosts;
        for (int i = 1; i <= 12; ++i)
            hosts[NetworkOrder(qPrintable(QStringLiteral("192.168.1.%1").arg(i)))] = HostRecord{
                {0x00, 0x1A, 0x2B, 0x3C, 0x4D, static_cast<unsigned char>(i)}, i % 2 == 0};
        Show(window, hosts);
        QCOMPARE(MachinesLines(), QStringList{"Machines= 12"});
        QCOMPARE(Table(window)->rowCount(), 12);
        QCOMPARE(WindowInspector::shownHosts(window), hosts);
        QVERIFY(WindowInspector::latestHosts(window).empty());
        QCOMPARE(WindowInspector::webButtons(window).buttons().size(), 6);
    }

    void rebuildOnlyWhenTheResultDiffers_data()
    {
        QTest::addColumn<Change>("change");
        QTest::newRow("equal") << Change::None;
        QTest::newRow("host name only") << Change::NameOnly;
        QTest::newRow("port 80 flag") << Change::WebFlag;
        QTest::newRow("one MAC byte") << Change::OneMacByte;
        QTest::newRow("one MAC byte more") << Change::LongerMac;
        QTest::newRow("one host more") << Change::OneHostMore;
        QTest::newRow("one host fewer") << Change::OneHostFewer;
        QTest::newRow("other address") << Change::OtherAddress;
    }

    void rebuildOnlyWhenTheResultDiffers()
    {
        QFETCH(Change, change);
        TrelvanWindow window;
        QTableWidget *table = Table(window);
        const HostMap before = TwoHosts();
        Show(window, before);
        QCOMPARE(table->rowCount(), 2);

        // Mark every item, note the button, and leave a comment the table
        // has not reported yet.
        QList<QTableWidgetItem *> items;
        {
            const QSignalBlocker blocker(table);
            for (int row = 0; row < 2; ++row)
                for (int column = 0; column < 5; ++column) {
                    QTableWidgetItem *item = table->item(row, column);
                    QVERIFY(item);
                    item->setData(Qt::UserRole + 1, QStringLiteral("ancien"));
                    items << item;
                }
        }
        QPointer<QAbstractButton> button = qobject_cast<QAbstractButton *>(table->cellWidget(0, 4));
        QVERIFY(button);
        TypeUnfinished(window, 1, QStringLiteral("en cours"));
        table->setColumnWidth(1, 3);
        MessageLog::clear();

        HostMap after = before;
        switch (change) {
        case Change::None:
            break;
        case Change::NameOnly:
            after.at(NetworkOrder("192.168.1.20")).name = QStringLiteral("imprimante.example");
            break;
        case Change::WebFlag:
            after.at(NetworkOrder("192.168.1.20")).webServer = false;
            break;
        case Change::OneMacByte:
            after.at(NetworkOrder("192.168.1.21")).mac[5] = 0x60;
            break;
        case Change::LongerMac:
            after.at(NetworkOrder("192.168.1.21")).mac.push_back(0x00);
            break;
        case Change::OneHostMore:
            after[NetworkOrder("192.168.1.22")] = HostRecord{{1, 2, 3, 4, 5, 6}, false};
            break;
        case Change::OneHostFewer:
            after.erase(NetworkOrder("192.168.1.20"));
            break;
        case Change::OtherAddress:
            after.erase(NetworkOrder("192.168.1.20"));
            after[NetworkOrder("192.168.1.19")] = HostRecord{MacA, true, QStringLiteral("nas")};
            break;
        }
        Show(window, after);

        // A name alone rebuilds nothing: it changes its tooltip in place.
        if (change == Change::None || change == Change::NameOnly) {
            QVERIFY(MachinesLines().isEmpty());
            QCOMPARE(WindowInspector::latestHosts(window), after); // compared again next tick
            QCOMPARE(WindowInspector::shownHosts(window), before);
            int i = 0;
            for (int row = 0; row < 2; ++row)
                for (int column = 0; column < 5; ++column) {
                    QCOMPARE(table->item(row, column), items.at(i++));
                    QCOMPARE(table->item(row, column)->data(Qt::UserRole + 1).toString(),
                             QStringLiteral("ancien"));
                }
            QCOMPARE(table->cellWidget(0, 4), static_cast<QWidget *>(button.data()));
            QVERIFY(WindowInspector::webButtons(window).buttons().contains(button));
            // No harvest, no clear: the unfinished comment is only in its cell.
            QCOMPARE(table->item(1, 0)->text(), QStringLiteral("en cours"));
            QVERIFY(WindowInspector::comments(window).count(TextB) == 0);

            WindowInspector::tick(window);
            QVERIFY(MachinesLines().isEmpty());
            QCOMPARE(table->item(0, 0), items.at(0));
        } else {
            QCOMPARE(MachinesLines(),
                     QStringList{QStringLiteral("Machines= %1").arg(after.size())});
            QVERIFY(WindowInspector::latestHosts(window).empty());
            QCOMPARE(WindowInspector::shownHosts(window), after);
            QCOMPARE(table->rowCount(), int(after.size()));
            for (int row = 0; row < table->rowCount(); ++row)
                for (int column = 0; column < 5; ++column)
                    if (QTableWidgetItem *item = table->item(row, column))
                        QVERIFY(!item->data(Qt::UserRole + 1).isValid());
            // The rebuild took the comment out of its cell first.
            QCOMPARE(WindowInspector::comments(window).at(TextB), QStringLiteral("en cours"));
            QVERIFY(!WindowInspector::webButtons(window).buttons().contains(button));
            QTRY_VERIFY(button.isNull()); // it went with its cell
        }

        // The rows follow the new result in address order.
        const HostMap &shown = WindowInspector::shownHosts(window);
        QStringList addresses;
        for (const quint32 key : KeysInAddressOrder(shown))
            addresses << AddressText(key);
        QCOMPARE(Column(window, 1), addresses);
        int row = 0;
        for (const quint32 key : KeysInAddressOrder(shown)) {
            QCOMPARE(ToolTipShows(table->item(row, 1)->toolTip()), shown.at(key).name);
            QCOMPARE(table->item(row++, 0)->data(CommentHintRole).toString(), shown.at(key).name);
        }
        QCOMPARE(ToolTipShows(table->item(0, 1)->toolTip()), after.begin()->second.name);

        // The columns are fitted to their contents either way.
        QVERIFY(table->columnWidth(1) > 3);
        const int fitted = table->columnWidth(1);
        table->resizeColumnToContents(1);
        QCOMPARE(table->columnWidth(1), fitted);
        QCOMPARE(Headers(table), HeaderLabels);
    }

    void rowsComeInAddressOrder_data()
    {
        QTest::addColumn<QStringList>("published");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("one /24") << QStringList{"192.168.1.10", "192.168.1.9"}
                                 << QStringList{"192.168.1.9", "192.168.1.10"};
        QTest::newRow("across /24s") << QStringList{"10.0.2.3", "10.0.1.5", "10.0.1.255"}
                                     << QStringList{"10.0.1.5", "10.0.1.255", "10.0.2.3"};
        QTest::newRow("mixed") << QStringList{"192.168.1.100", "192.168.1.2", "192.168.1.30"}
                               << QStringList{"192.168.1.2", "192.168.1.30", "192.168.1.100"};
    }

    void rowsComeInAddressOrder()
    {
        QFETCH(QStringList, published);
        QFETCH(QStringList, shown);
        TrelvanWindow window;
        HostMap hosts;
        unsigned char last = 0;
        for (const QString &address : published)
            hosts[NetworkOrder(qPrintable(address))] =
                HostRecord{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, ++last}, false};
        Show(window, hosts);
        QCOMPARE(Column(window, 1), shown);

        // A name that comes later reaches the row of its own host.
        hosts.at(NetworkOrder(qPrintable(shown.last()))).name = QStringLiteral("dernier.example");
        Show(window, hosts);
        QCOMPARE(ToolTipShows(Table(window)->item(int(shown.size()) - 1, 1)->toolTip()),
                 QStringLiteral("dernier.example"));
        QCOMPARE(Table(window)->item(int(shown.size()) - 1, 0)->data(CommentHintRole).toString(),
                 QStringLiteral("dernier.example"));
        QVERIFY(Table(window)->item(0, 1)->toolTip().isEmpty());
    }

    void itemsAndHeaders()
    {
        TrelvanWindow window;
        QTableWidget *table = Table(window);
        QCOMPARE(Headers(table), HeaderLabels);

        for (const HostMap &hosts :
             {TwoHosts(), HostMap{{NetworkOrder("10.0.2.3"), HostRecord{MacB, true}}}}) {
            Show(window, hosts);
            QVERIFY(!table->isSortingEnabled());
            QCOMPARE(Headers(table), HeaderLabels);
            int row = 0;
            for (const auto &[key, record] : hosts) {
                QCOMPARE(int(table->item(row, 0)->flags()), 35);
                for (int column = 1; column <= 3; ++column)
                    QCOMPARE(int(table->item(row, column)->flags()), 33);
                QCOMPARE(table->item(row, 4)->flags(), QTableWidgetItem().flags());
                QVERIFY(table->item(row, 4)->text().isEmpty());

                auto *address = dynamic_cast<TableWidgetIPItem *>(table->item(row, 1));
                QVERIFY(address);
                QCOMPARE(address->type(), int(QTableWidgetItem::Type));
                QCOMPARE(address->text(), AddressText(key));
                QCOMPARE(address->data(Qt::UserRole).typeId(), int(QMetaType::UInt));
                QCOMPARE(address->data(Qt::UserRole).toUInt(),
                         QHostAddress(AddressText(key)).toIPv4Address());
                QCOMPARE(table->item(row, 2)->text(), MacToText(record.mac));
                ++row;
            }
        }
        QCOMPARE(table->item(0, 1)->data(Qt::UserRole).toUInt(), 0x0A000203u);
    }

    void makerFromTheEmbeddedListing()
    {
        QString key, name;
        std::set<QString> listed;
        QVERIFY(EmbeddedVendor(key, name, listed));
        QString unknown;
        for (const char *candidate : {"FFFFFE", "ABCDEF", "123457", "FEDCBA", "0A0B0C"})
            if (!listed.count(QString::fromLatin1(candidate))) {
                unknown = QString::fromLatin1(candidate);
                break;
            }
        QVERIFY(!unknown.isEmpty());

        TrelvanWindow window;
        QVERIFY(!WindowInspector::vendorTable(window).empty());
        Show(window, {{NetworkOrder("192.168.1.1"), HostRecord{MacOfKey(key, 1), false}},
                      {NetworkOrder("192.168.1.2"), HostRecord{MacOfKey(unknown, 2), false}},
                      {NetworkOrder("192.168.1.3"), HostRecord{{0x00, 0x1A}, false}},
                      {NetworkOrder("192.168.1.4"), HostRecord{{}, true}},
                      {NetworkOrder("192.168.1.5"), HostRecord{MacOfKey(key, 5), true}}});
        QCOMPARE(Column(window, 3), (QStringList{name, "", "", "", name}));
        QCOMPARE(Column(window, 2).at(2), QStringLiteral("00:1A"));
        for (int row = 0; row < 5; ++row)
            QCOMPARE(int(Table(window)->item(row, 3)->flags()), 33);
    }

    // At the starting size, with the longest makers of the listings and more
    // rows than the height shows, every column is in sight: the makers give
    // way, elided, and carry their whole names as tooltips.
    void columnsFitTheStartingWindow()
    {
        TrelvanWindow window;
        QTableWidget *table = Table(window);
        QCOMPARE(window.size(), QSize(600, 600));

        // The longest name of each listing, at the start of a block it names.
        QList<std::pair<quint64, QString>> longest(3);
        for (const auto &[key, name] : WindowInspector::vendorTable(window))
            if (name.size() > longest[0].second.size())
                longest[0] = {key.toULongLong(nullptr, 16) << 24, name};
        const MakerIndex &blocks = WindowInspector::makerIndex(window);
        for (const MakerBlock &block : blocks.blocks28)
            if (block.name.size() > longest[1].second.size())
                longest[1] = {block.prefix << 20, block.name};
        for (const MakerBlock &block : blocks.blocks36)
            if (block.name.size() > longest[2].second.size())
                longest[2] = {block.prefix << 12, block.name};

        HostMap hosts;
        for (int i = 0; i < 30; ++i) {
            const quint64 bits = i < 3 ? longest[i].first : 0x00000C000000 + quint64(i);
            Bytes mac;
            for (int shift = 40; shift >= 0; shift -= 8)
                mac.push_back(static_cast<unsigned char>(bits >> shift));
            hosts[NetworkOrder(qPrintable(QStringLiteral("192.168.1.%1").arg(i + 1)))] =
                HostRecord{mac, i % 3 == 0};
        }
        hosts[NetworkOrder("192.168.1.200")] = HostRecord{{0x02, 0x54, 0x4C, 0, 1, 0x28}, true};
        Show(window, hosts);
        QTest::qWait(50); // the table lays its rows out

        QVERIFY(table->verticalScrollBar()->isVisible());
        QVERIFY2(table->horizontalHeader()->length() <= table->viewport()->width(),
                 qPrintable(QStringLiteral("%1 > %2")
                                .arg(table->horizontalHeader()->length())
                                .arg(table->viewport()->width())));
        QVERIFY(!table->horizontalScrollBar()->isVisible());
        auto *button = qobject_cast<QPushButton *>(table->cellWidget(0, 4));
        QVERIFY(button);
        QVERIFY(table->viewport()->rect().contains(button->geometry()));
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(table->item(row, 3)->text(), longest[row].second);
            QCOMPARE(ToolTipShows(table->item(row, 3)->toolTip()), longest[row].second);
        }
        QVERIFY(!table->wordWrap()); // elided on one line
        QCOMPARE(table->item(3, 3)->text(), QStringLiteral("Cisco Systems, Inc"));
        QVERIFY(table->item(3, 3)->toolTip().isEmpty()); // it fits

        // A locally administered address is explained, not named.
        const QTableWidgetItem *local = table->item(30, 3);
        QCOMPARE(local->text(), QStringLiteral("(adresse locale)"));
        QCOMPARE(ToolTipShows(local->toolTip()),
                 QStringLiteral("Adresse administrée localement : souvent "
                                "l'adresse aléatoire d'un téléphone ou d'une "
                                "tablette, ou une machine virtuelle"));
    }

    void noMakerItemsWithoutVendors()
    {
        TrelvanWindow window;
        WindowInspector::vendorTable(window).clear();
        Show(window, TwoHosts());
        QCOMPARE(Column(window, 3), (QStringList{"<none>", "<none>"}));
        QCOMPARE(Column(window, 2), (QStringList{TextA, TextB}));
    }

    void webButtons()
    {
        TrelvanWindow window;
        QTableWidget *table = Table(window);
        Show(window, TwoHosts());
        auto *first = qobject_cast<QPushButton *>(table->cellWidget(0, 4));
        QVERIFY(first);
        QCOMPARE(first->text(), QStringLiteral("Connecter"));
        QCOMPARE(first->objectName(), QStringLiteral("http://192.168.1.20/"));
        QCOMPARE(WindowInspector::webButtons(window).buttons(), QList<QAbstractButton *>{first});
        QVERIFY(first->isVisible());
        QVERIFY(!table->cellWidget(1, 4));

        // The web server moves to another host: the old button leaves the group.
        QPointer<QPushButton> old = first;
        Show(window, {{NetworkOrder("192.168.1.20"), HostRecord{MacA, false}},
                      {NetworkOrder("192.168.1.22"), HostRecord{MacB, true}}});
        QVERIFY(!table->cellWidget(0, 4));
        auto *second = qobject_cast<QPushButton *>(table->cellWidget(1, 4));
        QVERIFY(second);
        QCOMPARE(second->objectName(), QStringLiteral("http://192.168.1.22/"));
        QCOMPARE(WindowInspector::webButtons(window).buttons(), QList<QAbstractButton *>{second});
        QTRY_VERIFY(old.isNull());

        // HTTPS only gets its button too; port 80 wins where both answer.
        HostRecord secure{MacA, false};
        secure.secureWebServer = true;
        Show(window, {{NetworkOrder("192.168.1.20"), secure},
                      {NetworkOrder("192.168.1.22"), HostRecord{MacB, true}}});
        auto *https = qobject_cast<QPushButton *>(table->cellWidget(0, 4));
        QVERIFY(https);
        QCOMPARE(https->objectName(), QStringLiteral("https://192.168.1.20/"));
        QCOMPARE(qobject_cast<QPushButton *>(table->cellWidget(1, 4))->objectName(),
                 QStringLiteral("http://192.168.1.22/"));
        QCOMPARE(WindowInspector::webButtons(window).buttons().size(), 2);
    }

    void webLinkOpensExactlyItsAddress()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        {
            TrelvanWindow window;
            Show(window, TwoHosts());
            auto *button = qobject_cast<QPushButton *>(Table(window)->cellWidget(0, 4));
            QVERIFY(button);
            MessageLog::clear();
            QTest::mouseClick(button, Qt::LeftButton);
            QTRY_COMPARE(catcher.urls.size(), 1);
            QCOMPARE(catcher.urls.first().toString(), QStringLiteral("http://192.168.1.20/"));
            QCOMPARE(catcher.urls.first(), QUrl(QStringLiteral("http://192.168.1.20/")));
            QCOMPARE(MessageLog::lines().filter(QStringLiteral("http")),
                     QStringList{"http://192.168.1.20/"});
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // The row menu, by the right button and by the menu key: the row's
    // address and MAC to the clipboard, its page by the path of its
    // "Connecter" button (only where it has one).
    void rowMenu_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::addColumn<int>("row");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QString>("copied");
        const QStringList all{"Copier l'adresse IP", "Copier l'adresse MAC", "Ouvrir la page",
                              "Historique de l'appareil…"};
        const QStringList noPage{all[0], all[1], all[3]};
        QTest::newRow("mouse, address") << false << 1 << noPage << 0 << "192.168.1.21";
        QTest::newRow("key, MAC") << true << 1 << noPage << 1 << TextB;
        QTest::newRow("mouse, page") << false << 0 << all << 2 << QString();
    }

    void rowMenu()
    {
        QFETCH(bool, byKey);
        QFETCH(int, row);
        QFETCH(QStringList, entries);
        QFETCH(int, chosen);
        QFETCH(QString, copied);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        QGuiApplication::clipboard()->clear();
        TrelvanWindow window;
        Show(window, TwoHosts());
        QTableWidget *table = Table(window);
        QCOMPARE(table->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(window.contextMenuPolicy(), Qt::ActionsContextMenu);
        QStringList shown;
        QTimer::singleShot(100, &window, [&shown, chosen] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (const QAction *action : menu->actions())
                shown << action->text();
            menu->setActiveAction(menu->actions().value(chosen));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        // What the window system sends: by the key, to the table, at the
        // point Qt asks the table for (its current cell); by the mouse, to
        // the cells' viewport under the pointer.
        if (byKey) {
            table->setCurrentCell(row, 1);
            const QPoint point = table->inputMethodQuery(Qt::ImCursorRectangle).toRect().center();
            QContextMenuEvent event(QContextMenuEvent::Keyboard, point, table->mapToGlobal(point));
            QCoreApplication::sendEvent(table, &event);
        } else {
            const QPoint point = table->visualItemRect(table->item(row, 1)).center();
            QContextMenuEvent event(QContextMenuEvent::Mouse, point,
                                    table->viewport()->mapToGlobal(point));
            QCoreApplication::sendEvent(table->viewport(), &event);
        }
        QTRY_COMPARE(shown, entries);
        if (copied.isEmpty()) {
            QTRY_COMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("http://192.168.1.20/"))});
        } else {
            QTRY_COMPARE(QGuiApplication::clipboard()->text(), copied);
            QVERIFY(catcher.urls.isEmpty());
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // A column the user has sized by dragging its border keeps its width
    // over rescans; the others still fit their contents.
    void userSizedColumnKeepsItsWidth()
    {
        TrelvanWindow window;
        Show(window, TwoHosts());
        QTableWidget *table = Table(window);
        QHeaderView *header = table->horizontalHeader();
        const int before = table->columnWidth(2);
        const QPoint border(header->sectionViewportPosition(2) + header->sectionSize(2) - 1,
                            header->height() / 2);
        QTest::mousePress(header->viewport(), Qt::LeftButton, {}, border);
        QTest::mouseMove(header->viewport(), border + QPoint(60, 0));
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, border + QPoint(60, 0));
        const int sized = table->columnWidth(2);
        QVERIFY2(sized > before + 30,
                 qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(sized)));

        HostMap other = TwoHosts();
        other[NetworkOrder("192.168.1.22")] = HostRecord{{0x00, 0x1A, 0x2B, 0, 0, 1}, false};
        other.begin()->second.name = QStringLiteral("un nom de machine bien plus long");
        Type(window, 0, QStringLiteral("un commentaire bien plus long que l'en-tête"));
        Show(window, other);
        WindowInspector::tick(window);
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->columnWidth(2), sized);
        const int fitted = table->columnWidth(0);
        table->resizeColumnToContents(0);
        QCOMPARE(table->columnWidth(0), fitted);
        QVERIFY(header->length() >= table->viewport()->width()); // the last one stretches
    }

    // Qt's own texts speak French: the question before a device is
    // forgotten says "Oui" and "Non".
    void qtSpeaksFrench()
    {
        QTranslator *french = LoadQtTranslation();
        QVERIFY(french);
        NoRefresh();
        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        TrelvanWindow window;
        WindowInspector::finishScan(window);
        Show(window, {{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}}});
        WindowInspector::ui(window).History_->click();
        auto *dialog = window.findChild<HistoryDialog *>();
        QVERIFY(dialog);
        auto *devices = dialog->findChild<QTableWidget *>(QStringLiteral("Devices_"));
        QTRY_COMPARE(devices->rowCount(), 1);
        devices->selectRow(0);
        QStringList buttons;
        QTimer::singleShot(100, dialog, [&buttons] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            buttons << box->button(QMessageBox::Yes)->text()
                    << box->button(QMessageBox::No)->text();
            box->button(QMessageBox::No)->click();
        });
        dialog->findChild<QPushButton *>(QStringLiteral("Forget_"))->click();
        QCoreApplication::removeTranslator(french);
        delete french;
        QCOMPARE(buttons, (QStringList{"&Oui", "&Non"}));
        QCOMPARE(devices->rowCount(), 1);
    }

    // --- the comments ---

    void commentsShowFromTheStoreAtStart()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/") + TextA, QStringLiteral("serveur"));
        }
        TrelvanWindow window;
        QCOMPARE(WindowInspector::comments(window), (CommentMap{{TextA, "serveur"}}));
        Show(window, TwoHosts());
        QCOMPARE(Column(window, 0), (QStringList{"serveur", ""}));
    }

    void commentSurvivesARebuildAndFollowsTheCard()
    {
        std::unique_ptr<TrelvanWindow> window = std::make_unique<TrelvanWindow>();
        Show(*window, TwoHosts());
        Type(*window, 0, QStringLiteral("imprimante"));
        TypeUnfinished(*window, 1, QStringLiteral("routeur"));

        // Only the web flag of B changes: both comments stay on their rows.
        HostMap hosts = TwoHosts();
        hosts.at(NetworkOrder("192.168.1.21")).webServer = true;
        Show(*window, hosts);
        QCOMPARE(Column(*window, 0), (QStringList{"imprimante", "routeur"}));

        // A comes back at another address, B is gone.
        Show(*window, {{NetworkOrder("192.168.1.50"), HostRecord{MacA, false}}});
        QCOMPARE(Column(*window, 1), QStringList{"192.168.1.50"});
        QCOMPARE(Column(*window, 0), QStringList{"imprimante"});
        QCOMPARE(WindowInspector::comments(*window).at(TextB), QStringLiteral("routeur"));

        window.reset();
        QCOMPARE(StoredComment(TextA), QStringLiteral("imprimante"));
        QCOMPARE(StoredComment(TextB), QStringLiteral("routeur"));
    }

    void emptiedCellRemovesTheComment()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/") + TextA, QStringLiteral("ancien"));
            store.setValue(QStringLiteral("Comments/") + TextB, QStringLiteral("gardé"));
        }
        std::unique_ptr<TrelvanWindow> window = std::make_unique<TrelvanWindow>();
        Show(*window, TwoHosts());
        QCOMPARE(Column(*window, 0), (QStringList{"ancien", "gardé"}));
        Type(*window, 0, QString());
        QVERIFY(!WindowInspector::comments(*window).count(TextA));
        QVERIFY(!IsStored(TextA));

        window.reset();
        QVERIFY(!IsStored(TextA));
        QCOMPARE(StoredComment(TextB), QStringLiteral("gardé"));
    }

    // Rows of one card (a host with two addresses) show one comment: the
    // row the user edits wins over the others, which show it at once, and
    // after a rebuild as well.
    void rowsOfOneCardKeepTheEdit()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/") + TextA, QStringLiteral("commun"));
            // A key in lower case is never a MAC text.
            store.setValue(QStringLiteral("Comments/") + TextB.toLower(), QStringLiteral("jamais"));
        }
        TrelvanWindow window;
        const HostMap hosts{{NetworkOrder("192.168.1.20"), HostRecord{MacA, false}},
                            {NetworkOrder("192.168.1.30"), HostRecord{MacA, true}},
                            {NetworkOrder("192.168.1.40"), HostRecord{MacB, false}}};
        Show(window, hosts);
        QCOMPARE(Column(window, 0), (QStringList{"commun", "commun", ""}));

        Type(window, 0, QStringLiteral("premier"));
        QCOMPARE(Column(window, 0), (QStringList{"premier", "premier", ""}));
        QCOMPARE(StoredComment(TextA), QStringLiteral("premier"));
        Type(window, 1, QString());
        QCOMPARE(Column(window, 0), (QStringList{"", "", ""}));
        QVERIFY(!IsStored(TextA));

        Type(window, 0, QStringLiteral("dernier"));
        HostMap changed = hosts;
        changed.at(NetworkOrder("192.168.1.20")).webServer = true;
        Show(window, changed);
        QCOMPARE(Column(window, 0), (QStringList{"dernier", "dernier", ""}));
        QCOMPARE(WindowInspector::comments(window).at(TextA), QStringLiteral("dernier"));
    }

    // Typing not yet finished with Return when a rebuild comes is saved as a
    // finished comment, and the user types on where the cursor was; a host
    // gone from the result keeps it all the same, and so does closing.
    void unfinishedTypingSurvivesARebuild()
    {
        auto window = std::make_unique<TrelvanWindow>();
        window->show();
        QTableWidget *table = Table(*window);
        Show(*window, TwoHosts());
        const auto editorOf = [table](int row) {
            table->setCurrentCell(row, 0);
            return qobject_cast<QLineEdit *>(table->indexWidget(table->model()->index(row, 0)));
        };
        table->editItem(table->item(1, 0));
        QVERIFY(editorOf(1));
        QTest::keyClicks(editorOf(1), QStringLiteral("routeur du salon"));
        editorOf(1)->setCursorPosition(7);

        HostMap hosts = TwoHosts(); // A's port 80 goes: a rebuild, B still there
        hosts.at(NetworkOrder("192.168.1.20")).webServer = false;
        Show(*window, hosts);
        QCOMPARE(StoredComment(TextB), QStringLiteral("routeur du salon"));
        QLineEdit *editor = editorOf(1);
        QVERIFY(editor);
        QCOMPARE(editor->text(), QStringLiteral("routeur du salon"));
        QCOMPARE(editor->cursorPosition(), 7);
        QTest::keyClicks(editor, QStringLiteral(" 2"));

        Show(*window, {{NetworkOrder("192.168.1.20"), HostRecord{MacA, true}}});
        QCOMPARE(StoredComment(TextB), QStringLiteral("routeur 2 du salon"));
        QVERIFY(!editorOf(0));
        table->editItem(table->item(0, 0));
        QTest::keyClicks(editorOf(0), QStringLiteral("imprimante"));
        window.reset();
        QCOMPARE(StoredComment(TextA), QStringLiteral("imprimante"));
    }

    void storedEmptyCommentIsKeptUntilItsRowIsHarvested()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Comments/") + TextA, QString());
            store.setValue(QStringLiteral("Comments/AA:BB:CC:DD:EE:FF"), QString());
        }
        std::unique_ptr<TrelvanWindow> window = std::make_unique<TrelvanWindow>();
        QCOMPARE(WindowInspector::comments(*window),
                 (CommentMap{{TextA, ""}, {"AA:BB:CC:DD:EE:FF", ""}}));
        Show(*window, {{NetworkOrder("192.168.1.20"), HostRecord{MacA, false}}});
        QCOMPARE(Column(*window, 0), QStringList{""});
        QCOMPARE(WindowInspector::comments(*window).count(TextA), std::size_t(1));

        window.reset();
        // A's row was harvested with its cell empty; the other was never seen.
        QVERIFY(!IsStored(TextA));
        QVERIFY(IsStored(QStringLiteral("AA:BB:CC:DD:EE:FF")));
        QCOMPARE(StoredComment(QStringLiteral("AA:BB:CC:DD:EE:FF")), QString());
    }

    // A host's name is the hint of its empty comment cell, drawn dimmed and
    // wide enough to be read; what the user types replaces it, and only that
    // is saved. What the device says of itself joins the row in place.
    void nameIsAHintThatATypedCommentReplaces()
    {
        auto window = std::make_unique<TrelvanWindow>();
        window->show();
        QTableWidget *table = Table(*window);
        HostMap hosts = TwoHosts();
        hosts.at(NetworkOrder("192.168.1.20")).name = QStringLiteral("imprimante-bureau-etage");
        hosts.at(NetworkOrder("192.168.1.21")).name = QStringLiteral("PC-DE-LEA");
        Show(*window, hosts);
        QCOMPARE(Column(*window, 0), (QStringList{"", ""}));
        QCOMPARE(table->item(0, 0)->data(CommentHintRole).toString(),
                 QStringLiteral("imprimante-bureau-etage"));
        QCOMPARE(ToolTipShows(table->item(0, 1)->toolTip()),
                 QStringLiteral("imprimante-bureau-etage"));
        QVERIFY(table->columnWidth(0) >=
                table->fontMetrics().horizontalAdvance(QStringLiteral("imprimante-bureau-etage")));

        table->setCurrentCell(0, 0);
        table->editItem(table->item(0, 0));
        auto *editor = table->findChild<QLineEdit *>();
        QVERIFY(editor);
        QCOMPARE(editor->text(), QString());
        QCOMPARE(editor->placeholderText(), QStringLiteral("imprimante-bureau-etage"));
        QTest::keyClicks(editor, QStringLiteral("imprimante de Lea"));
        // What the Return key does, without needing the focus.
        QAbstractItemDelegate *delegate = table->itemDelegateForColumn(0);
        emit delegate->commitData(editor);
        emit delegate->closeEditor(editor);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("imprimante de Lea"));
        QCOMPARE(table->item(0, 0)->data(CommentHintRole).toString(),
                 QStringLiteral("imprimante-bureau-etage"));

        // What a device says of itself comes on a later tick, its host as it
        // was: its row shows its icon and why, in place, and the name its
        // owner chose is the hint, before the name it answered with.
        identify::Identity pc;
        pc.type = identify::DeviceType::Computer;
        pc.friendlyName = QStringLiteral("Bureau de Léa");
        pc.evidence = {{QStringLiteral("mdns"), QStringLiteral("_smb._tcp")}};
        WindowInspector::remember(*window, {{hosts.at(NetworkOrder("192.168.1.21")).mac, pc}});
        Show(*window, hosts);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("imprimante de Lea"));
        QVERIFY(table->item(0, 0)->icon().isNull());
        QVERIFY(!table->item(1, 0)->icon().isNull());
        QCOMPARE(table->item(1, 0)->data(CommentHintRole).toString(),
                 QStringLiteral("Bureau de Léa"));
        QCOMPARE(ToolTipShows(table->item(1, 1)->toolTip()),
                 QStringLiteral("Bureau de Léa\nPC-DE-LEA"));
        QCOMPARE(ToolTipShows(table->item(1, 0)->toolTip()),
                 QStringLiteral("Ordinateur « Bureau de Léa », d'après : mDNS _smb._tcp"));

        window.reset();
#ifndef Q_OS_WIN // the registry has no file; its keys are checked below
        QFile file(QSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        QVERIFY2(!contents.contains("bureau-etage") && !contents.contains("PC-DE-LEA") &&
                     !contents.contains("Bureau"),
                 contents.constData());
#endif
        QCOMPARE(QSettings().allKeys(), QStringList{QStringLiteral("Comments/") + TextA});
        QCOMPARE(StoredComment(TextA), QStringLiteral("imprimante de Lea"));
    }

    void finishedEditIsStoredAtOnce()
    {
        TrelvanWindow window;
        Show(window, TwoHosts());
        Type(window, 1, QStringLiteral("tapé à l'instant"));
        QCOMPARE(WindowInspector::comments(window).at(TextB), QStringLiteral("tapé à l'instant"));
        QCOMPARE(StoredComment(TextB), QStringLiteral("tapé à l'instant"));

#ifndef Q_OS_WIN // where the registry is the store, each value is written at once
        // On the disk already, not only in this process's cache.
        QFile file(QSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        QVERIFY2(contents.contains("[Comments]"), contents.constData());
        QVERIFY2(contents.contains("l'instant"), contents.constData());
#endif

        // An edit of another column stores nothing.
        Table(window)->item(0, 4)->setText(QStringLiteral("pas un commentaire"));
        QCOMPARE(WindowInspector::comments(window).size(), std::size_t(1));
        QCOMPARE(QSettings().allKeys(), QStringList{QStringLiteral("Comments/") + TextB});
    }

    void exitSavesTheCommentsAndKeepsTheRest()
    {
        {
            QSettings store;
            store.setValue(QStringLiteral("Autre/clef"), QStringLiteral("valeur"));
            store.setValue(QStringLiteral("racine"), 3);
            store.setValue(QStringLiteral("Comments/AA:BB:CC:DD:EE:FF"), QStringLiteral("absent"));
        }
        std::unique_ptr<TrelvanWindow> window = std::make_unique<TrelvanWindow>();
        Show(*window, TwoHosts());
        TypeUnfinished(*window, 0, QStringLiteral("pas encore enregistré"));
        QVERIFY(!IsStored(TextA));

        window.reset();
        QSettings store;
        QStringList keys = store.allKeys();
        keys.sort();
        QCOMPARE(
            keys,
            (QStringList{QStringLiteral("Autre/clef"), QStringLiteral("Comments/") + TextA,
                         QStringLiteral("Comments/AA:BB:CC:DD:EE:FF"), QStringLiteral("racine")}));
        QCOMPARE(store.childGroups(), (QStringList{"Autre", "Comments"}));
        QCOMPARE(store.value(QStringLiteral("racine")).toInt(), 3);
        QCOMPARE(StoredComment(TextA), QStringLiteral("pas encore enregistré"));
        QCOMPARE(StoredComment(QStringLiteral("AA:BB:CC:DD:EE:FF")), QStringLiteral("absent"));
    }

    // A save that fails (here: another program holds the store's lock)
    // leaves the file as it was and says so on the status line, naming the
    // file, whatever a scan reports meanwhile; the comment stays in memory
    // and lands at the next refresh once saving works again.
    void failedSaveIsShownAndTriedAgain()
    {
#ifdef Q_OS_WIN
        QSKIP("the store is the registry, which no lock file guards");
#endif
        const QString fileName = QSettings().fileName();
        QVERIFY(SaveComments({{TextA, QStringLiteral("ancien")}}).saved());
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        TrelvanWindow window;
        Show(window, TwoHosts());
        QLabel *status = WindowInspector::ui(window).Status_;
        QLockFile lock(fileName + QStringLiteral(".lock"));
        QVERIFY(lock.lock());
        Type(window, 1, QStringLiteral("nouveau"));
        const QString unsaved = QStringLiteral("Commentaires non enregistrés dans %0 : fichier "
                                               "verrouillé par un autre programme (nouvel essai "
                                               "toutes les 10 s).")
                                    .arg(fileName);
        QCOMPARE(status->text(), unsaved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        file.close();
        QCOMPARE(WindowInspector::comments(window).at(TextB), QStringLiteral("nouveau"));

        window.SetPendingStatus(QStringLiteral("Fin de recherche 192.168.1.10 à 12:00:00."));
        WindowInspector::tick(window);
        QCOMPARE(status->text(), unsaved);

        // Still locked at a refresh: tried and still shown.
        WindowInspector::lastRefresh(window) = QTime::currentTime().addSecs(-11);
        WindowInspector::tick(window);
        QCOMPARE(status->text(), unsaved);
        QVERIFY(!IsStored(TextB));

        lock.unlock();
        WindowInspector::lastRefresh(window) = QTime::currentTime().addSecs(-11);
        WindowInspector::tick(window);
        QCOMPARE(status->text(), QStringLiteral("Commentaires enregistrés dans %0.").arg(fileName));
        QCOMPARE(StoredComment(TextA), QStringLiteral("ancien"));
        QCOMPARE(StoredComment(TextB), QStringLiteral("nouveau"));
    }

    // --- the presence history ---

    // A card the network never showed is told once, as plain text; every MAC
    // cell says when its card was first seen, in French whatever the
    // system's language. The dialog lists the network's devices, present
    // first, in trelvan-list's CSV; an absent one has its wake, refused here
    // once the machine has left its network (nothing is sent); a device goes
    // after the question, not before.
    // The first table comes at once; what the devices say on a later tick,
    // kept for the next window, which shows it with its first table.
    void identitiesComeLaterAndAreRemembered()
    {
        NoRefresh();
        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        Identification::SetAskerMaker(&fakes::MakeCastAsker);
        const auto quiet =
            qScopeGuard([] { Identification::SetAskerMaker(&fakes::MakeQuietAsker); });
        const quint32 key = NetworkOrder("198.51.100.20");
        const HostMap a{{key, HostRecord{MacA, false}}};
        const QString model = QStringLiteral("Chromecast <b>1</b>");
        {
            TrelvanWindow window;
            WindowInspector::finishScan(window); // the network's first round, of nobody
            historyNow += Identification::kNetworkPeriodMs;
            window.PublishHosts(a);
            WindowInspector::tick(window);
            QCOMPARE(WindowInspector::shownHosts(window).at(key).identity.model, QString());
            QTRY_COMPARE(WindowInspector::shownHosts(window).at(key).identity.model, model);
            QCOMPARE(WindowInspector::shownHosts(window).at(key).identity.type,
                     identify::DeviceType::MediaPlayer);
        }
        Identification::SetAskerMaker(&fakes::MakeQuietAsker);
        TrelvanWindow window;
        WindowInspector::finishScan(window);
        QTRY_VERIFY(WindowInspector::identities(window).count(MacA));
        Show(window, a);
        QCOMPARE(WindowInspector::shownHosts(window).at(key).identity.model, model);
    }

    // A private card back under another MAC with the name its owner chose is
    // its device's: no notice, its comment on the new row, and its MAC cell
    // says why.
    void aLinkedCardKeepsItsDevice()
    {
        NoRefresh();
        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        TrelvanWindow window;
        WindowInspector::finishScan(window); // the network's first scan
        HostRecord lea{Bytes{0x02, 0x54, 0x4C, 0x00, 0x00, 0x3C}, false};
        lea.names.mdns = QStringLiteral("tablette-lea.local");
        Show(window, {{NetworkOrder("198.51.100.21"), lea}});
        Type(window, 0, QStringLiteral("Tablette de Léa"));
        const std::size_t notices = notifier.notices.size();
        lea.mac = Bytes{0x0A, 0x54, 0x4C, 0x00, 0x00, 0x3D};
        historyNow += 30000;
        Show(window, {{NetworkOrder("198.51.100.21"), lea}});
        QCOMPARE(notifier.notices.size(), notices);
        QTRY_COMPARE(Table(window)->item(0, CommentColumn)->text(),
                     QStringLiteral("Tablette de Léa"));
        QTRY_VERIFY2(ToolTipShows(Table(window)->item(0, MacColumn)->toolTip())
                         .startsWith(QStringLiteral("Adresse privée, reliée à cet appareil (même "
                                                    "nom mDNS « tablette-lea.local »)")),
                     qPrintable(Table(window)->item(0, MacColumn)->toolTip()));
        QCOMPARE(StoredComment(QStringLiteral("0A:54:4C:00:00:3D")),
                 QStringLiteral("Tablette de Léa"));
    }

    void historyTellsListsWakesExportsAndForgets()
    {
        QLocale::setDefault(QLocale(QLocale::English));
        NoRefresh();
        NetworkAddress lan = fakes::Entry("198.51.100.1", "255.255.255.0");
        lan.interfaceName = QStringLiteral("eth1");
        network.setInterfaces({lan});
        const qint64 start = historyNow;
        TrelvanWindow window;
        WindowInspector::finishScan(window); // the network's first scan
        const HostMap a{{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}}};
        Show(window, a);
        HostMap both = a;
        const Bytes local{0x02, 0x54, 0x4C, 0x00, 0x00, 0x3C};
        both[NetworkOrder("198.51.100.21")] = HostRecord{local, false, "<b>nas</b>"};
        Show(window, both);
        Show(window, both);
        QCOMPARE(notifier.notices.size(), std::size_t(2));
        QCOMPARE(notifier.notices[1].title, QStringLiteral("Nouvel appareil sur le réseau"));
        QCOMPARE(notifier.notices[1].body,
                 QStringLiteral("198.51.100.21 — 02:54:4C:00:00:3C\nFabricant\u00a0: (adresse "
                                "locale)\nNom\u00a0: <b>nas</b>"));
        // Cards that have just joined are marked for a minute.
        const QString seen = QStringLiteral("Vu pour la première fois le 7 décembre 2026 à 22:14");
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(ToolTipShows(Table(window)->item(row, 2)->toolTip()),
                     QStringLiteral("Nouvel appareil\n") + seen);
            for (int column = 0; column < 4; ++column)
                QVERIFY(Table(window)->item(row, column)->font().bold());
        }
        QLocale::setDefault(QLocale::system());

        for (int scan = 0; scan < 3; ++scan) { // the second misses three scans and a minute
            historyNow += 30000;
            Show(window, a);
        }
        QVERIFY(!Table(window)->item(0, 2)->font().bold());
        QCOMPARE(ToolTipShows(Table(window)->item(0, 2)->toolTip()), seen);
        Type(window, 0, QStringLiteral("=1+1"));
        WindowInspector::ui(window).History_->click();
        auto *dialog = window.findChild<HistoryDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        auto *devices = dialog->findChild<QTableWidget *>(QStringLiteral("Devices_"));
        auto *dialogStatus = dialog->findChild<QLabel *>(QStringLiteral("Status_"));
        const QString maker = LookupMaker(WindowInspector::makerIndex(window), MacA).name;
        QVERIFY(maker.contains(QLatin1Char(','))); // quoted in the CSV
        const QString mac = QStringLiteral("02:54:4C:00:00:3C");
        // Devices of unknown type: no type, no model, no icon.
        const QStringList rows[]{
            {"=1+1", "198.51.100.20", TextA, maker, "", "", "", SeenText(start), "présent"},
            {"", "198.51.100.21", mac, "(adresse locale)", "<b>nas</b>", "", "", SeenText(start),
             "absent depuis 1 min"}};
        QTRY_COMPARE(devices->rowCount(), 2);
        QCOMPARE(Headers(devices).mid(historytable::NameColumn, 3),
                 (QStringList{"Nom", "Type", "Modèle"}));
        for (int row = 0; row < 2; ++row) {
            for (int column = 0; column < historytable::WakeColumn; ++column)
                QCOMPARE(devices->item(row, column)->text(), rows[row][column]);
            QVERIFY(devices->item(row, historytable::TypeColumn)->icon().isNull());
        }
        QVERIFY(!devices->cellWidget(0, historytable::WakeColumn));

        auto *wake = qobject_cast<QPushButton *>(devices->cellWidget(1, historytable::WakeColumn));
        QVERIFY(wake && wake->text() == QStringLiteral("Réveiller"));
        network.setInterfaces({});
        wake->click();
        const QString refused = QStringLiteral("Réveil impossible\u00a0: l'appareil a été vu sur "
                                               "198.51.100.0/24, qui n'est pas un réseau de cette "
                                               "machine en ce moment.");
        QTRY_COMPARE(dialogStatus->text(), refused);
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::ui(window).Status_->text(), refused);

        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("appareils.csv"));
        QTimer::singleShot(100, dialog, [file] {
            auto *save = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            save->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(file);
            QMetaObject::invokeMethod(save, "accept");
        });
        dialog->findChild<QPushButton *>(QStringLiteral("Export_"))->click();
        QFile exported(file);
        QVERIFY(exported.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(exported.readAll()),
                 QStringLiteral("comment,ip,mac,maker,name,first_seen,last_seen,present,network,"
                                "interface,type,model,macs,ipv6\r\n'=1+1,198.51.100.20,%0,\"%1\",,"
                                "%2,%3,true,198.51.100.0/24,eth1,unknown,,%0,\r\n,198.51.100.21,%4,"
                                "(adresse locale),<b>nas</b>,%2,%2,false,198.51.100.0/24,eth1,"
                                "unknown,,%4,\r\n")
                     .arg(TextA, maker, IsoTimeText(start), IsoTimeText(historyNow), mac));

        // Fusionner… makes one device of both cards, the comment its; typed on
        // one card, it is the other's too; Séparer undoes it.
        auto *merge = dialog->findChild<QPushButton *>(QStringLiteral("Merge_"));
        auto *split = dialog->findChild<QPushButton *>(QStringLiteral("Split_"));
        devices->selectRow(0);
        QVERIFY(merge->isEnabled() && !split->isEnabled());
        QTimer::singleShot(100, dialog, [] {
            qobject_cast<QInputDialog *>(QApplication::activeModalWidget())->accept();
        });
        merge->click();
        QTRY_COMPARE(devices->item(1, historytable::CommentColumn)->text(), QStringLiteral("=1+1"));
        QCOMPARE(ToolTipShows(devices->item(0, historytable::MacColumn)->toolTip()),
                 QStringLiteral("Cartes de cet appareil : %0, %1").arg(TextA, mac));
        QVERIFY(split->isEnabled());
        Type(window, 0, QStringLiteral("salon"));
        dialog->Reload();
        QTRY_COMPARE(devices->item(1, historytable::CommentColumn)->text(),
                     QStringLiteral("salon"));
        QCOMPARE(StoredComment(mac), QStringLiteral("salon"));
        split->click();
        QTRY_COMPARE(dialogStatus->text(), TextA + QStringLiteral(" est un appareil à part."));
        QTRY_VERIFY(ToolTipShows(devices->item(0, historytable::MacColumn)->toolTip()) == TextA);

        devices->selectRow(1);
        auto *forget = dialog->findChild<QPushButton *>(QStringLiteral("Forget_"));
        AnswerQuestion(dialog, QMessageBox::No);
        forget->click();
        QCOMPARE(devices->rowCount(), 2);
        AnswerQuestion(dialog, QMessageBox::Yes);
        forget->click();
        QTRY_COMPARE(devices->rowCount(), 1);
        QCOMPARE(devices->item(0, 2)->text(), TextA);
    }

    // A history that cannot be written (a folder in the file's place) stops
    // neither the table nor the comments; the status line says so until a
    // scan writes it again.
    void historyFaultIsShownAndTriedAgain()
    {
        network.setInterfaces({fakes::Entry("198.51.100.1", "255.255.255.0")});
        NoRefresh();
        QVERIFY(QDir().mkpath(presence::Store::DefaultFileName()));
        TrelvanWindow window;
        WindowInspector::finishScan(window);
        QLabel *status = WindowInspector::ui(window).Status_;
        QVERIFY2(status->text().startsWith(QStringLiteral("Historique non enregistré")) &&
                     status->text().endsWith(QStringLiteral("(nouvel essai à chaque recherche).")),
                 qPrintable(status->text()));
        const QString unwritten = status->text();
        Show(window, TwoHosts());
        QCOMPARE(Table(window)->rowCount(), 2);
        Type(window, 0, QStringLiteral("toujours là"));
        QCOMPARE(StoredComment(TextA), QStringLiteral("toujours là"));
        QCOMPARE(status->text(), unwritten);

        ForgetHistory();
        Show(window, TwoHosts());
        QVERIFY2(status->text().startsWith(QStringLiteral("Fin de recherche 198.51.100.1")),
                 qPrintable(status->text()));
        QVERIFY(QFile::exists(presence::Store::DefaultFileName()));
    }

    // --- About and Close ---

    void aboutBox()
    {
        TrelvanWindow window;
        bool answered = false;
        QString title, text;
        QWidget *parent = nullptr;
        AnswerMessageBox(&window, [&](QMessageBox *box) {
            if (!box)
                return;
            answered = true;
            title = box->windowTitle();
            text = box->text();
            parent = box->parentWidget();
        });
        WindowInspector::ui(window).About_->click();
        QVERIFY(answered);
        QCOMPARE(title, QStringLiteral("A propos de..."));
        QCOMPARE(parent, static_cast<QWidget *>(&window));

        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0), QStringLiteral("\"Trelvan\" version " TRELVAN_VERSION));
        QVERIFY2(lines.at(1).contains(QStringLiteral("Dantrix")), qPrintable(lines.at(1)));
        QVERIFY2(
            QRegularExpression(QStringLiteral("\\b(19|20)\\d\\d\\b")).match(lines.at(2)).hasMatch(),
            qPrintable(lines.at(2)));
        QVERIFY(lines.at(3).isEmpty());
        const QUrl home(lines.at(4), QUrl::StrictMode);
        QVERIFY2(home.isValid() && !home.host().isEmpty(), qPrintable(lines.at(4)));
        QVERIFY(home.scheme() == QLatin1String("http") || home.scheme() == QLatin1String("https"));
        QVERIFY(!text.contains(QLatin1Char('%')));
    }

    void heartbeatGoesOnBehindTheAboutBox()
    {
        TrelvanWindow window;
        const QString line = QStringLiteral("Fin de recherche 192.168.1.10 à 12:00:00.");
        bool answered = false, statusShown = false, rowsShown = false;
        AnswerMessageBox(&window, [&](QMessageBox *box) {
            if (!box)
                return;
            answered = true;
            window.PublishHosts(TwoHosts());
            window.SetPendingStatus(line);
            statusShown = QTest::qWaitFor(
                [&] { return WindowInspector::ui(window).Status_->text() == line; }, 5000);
            rowsShown = QTest::qWaitFor([&] { return Table(window)->rowCount() == 2; }, 5000);
        });
        WindowInspector::ui(window).About_->click();
        QVERIFY(answered);
        QVERIFY(statusShown);
        QVERIFY(rowsShown);
        QCOMPARE(Column(window, 1), (QStringList{"192.168.1.20", "192.168.1.21"}));
        QVERIFY(WindowInspector::pendingStatus(window).isEmpty());
    }

    void closeStopsTheHeartbeatAndSaves()
    {
        std::unique_ptr<TrelvanWindow> window = std::make_unique<TrelvanWindow>();
        Show(*window, TwoHosts());
        TickCounter ticks(WindowInspector::timerId(*window));
        window->installEventFilter(&ticks);
        QTRY_VERIFY(ticks.count > 0);

        QTimer::singleShot(0, window.get(), [&window] {
            TypeUnfinished(*window, 0, QStringLiteral("à la fermeture"));
            WindowInspector::ui(*window).Close_->click();
        });
        QCOMPARE(window->exec(), 0);
        QVERIFY(!window->isVisible());

        ticks.count = 0;
        window->SetPendingStatus(QStringLiteral("après la fermeture"));
        QTest::qWait(1000);
        QCOMPARE(ticks.count, 0);
        QVERIFY(WindowInspector::ui(*window).Status_->text() !=
                QStringLiteral("après la fermeture"));
        QCOMPARE(WindowInspector::pendingStatus(*window), QStringLiteral("après la fermeture"));
        QVERIFY(!IsStored(TextA));

        window->removeEventFilter(&ticks);
        window.reset();
        QCOMPARE(StoredComment(TextA), QStringLiteral("à la fermeture"));
    }

    // --- the history to look at ---

    void presenceSpans_data()
    {
        using presence::ChangeKind;
        QTest::addColumn<CardEvents>("events");
        QTest::addColumn<qint64>("firstSeen");
        QTest::addColumn<qint64>("lastSeen");
        QTest::addColumn<bool>("presentNow");
        QTest::addColumn<Spans>("spans");
        const qint64 week = HoursAgo(7 * 24);
        QTest::newRow("there all week")
            << CardEvents{} << HoursAgo(200) << StripEnd << true << Spans{{week, StripEnd, true}};
        QTest::newRow("first scan of the network, no change")
            << CardEvents{} << HoursAgo(30) << StripEnd << true
            << Spans{{week, HoursAgo(30), false}, {HoursAgo(30), StripEnd, true}};
        QTest::newRow("new") << CardEvents{{HoursAgo(5), ChangeKind::New, false}} << HoursAgo(5)
                             << StripEnd << true
                             << Spans{{week, HoursAgo(5), false}, {HoursAgo(5), StripEnd, true}};
        QTest::newRow("left two hours ago")
            << CardEvents{{HoursAgo(2), ChangeKind::Left, false}} << HoursAgo(300) << HoursAgo(2.1)
            << false << Spans{{week, HoursAgo(2), true}, {HoursAgo(2), StripEnd, false}};
        QTest::newRow("left, back, address changed")
            << CardEvents{{HoursAgo(1), ChangeKind::AddressChanged, false},
                          {HoursAgo(10), ChangeKind::Arrived, false},
                          {HoursAgo(20), ChangeKind::Left, false}}
            << HoursAgo(300) << StripEnd << true
            << Spans{{week, HoursAgo(20), true},
                     {HoursAgo(20), HoursAgo(10), false},
                     {HoursAgo(10), StripEnd, true}};
        QTest::newRow("its address taken by another card")
            << CardEvents{{HoursAgo(3), ChangeKind::MacChanged, true}} << HoursAgo(300)
            << HoursAgo(3.2) << false
            << Spans{{week, HoursAgo(3), true}, {HoursAgo(3), StripEnd, false}};
        QTest::newRow("took another card's address")
            << CardEvents{{HoursAgo(3), ChangeKind::MacChanged, false}} << HoursAgo(3) << StripEnd
            << true << Spans{{week, HoursAgo(3), false}, {HoursAgo(3), StripEnd, true}};
        QTest::newRow("nobody scanned since")
            << CardEvents{} << HoursAgo(50) << HoursAgo(4) << false
            << Spans{{week, HoursAgo(50), false},
                     {HoursAgo(50), HoursAgo(4), true},
                     {HoursAgo(4), StripEnd, false}};
        QTest::newRow("gone before the week") << CardEvents{} << HoursAgo(900) << HoursAgo(400)
                                              << false << Spans{{week, StripEnd, false}};
    }

    // A card's presence over the week, from the changes the history keeps.
    void presenceSpans()
    {
        QFETCH(CardEvents, events);
        QFETCH(qint64, firstSeen);
        QFETCH(qint64, lastSeen);
        QFETCH(bool, presentNow);
        QFETCH(Spans, spans);
        QCOMPARE(presence::PresenceSpans(events, firstSeen, lastSeen, presentNow, HoursAgo(7 * 24),
                                         StripEnd),
                 spans);
    }

    // The history's dialog leaves the window usable and current; its
    // columns sort by a click, the text typed filters its rows, a device is
    // chosen from outside, a width the user set stays across scans.
    void historyIsNotModalSortsAndFilters()
    {
        TrelvanWindow window;
        HistoryDialog *dialog = OpenHistory(window);
        QVERIFY(!dialog->isModal());
        QVERIFY(!QApplication::activeModalWidget());
        auto *devices = dialog->findChild<QTableWidget *>(QStringLiteral("Devices_"));
        QTRY_COMPARE(devices->rowCount(), 3);
        QCOMPARE(ShownColumn(devices, 2), (QStringList{TextA, MacC, TextB}));
        QCOMPARE(ShownColumn(devices, historytable::LastSeenColumn),
                 (QStringList{"présent", "absent depuis 2 h", "absent depuis 2 h"}));
        QCOMPARE(devices->item(1, 0)->foreground().color(),
                 dialog->palette().color(QPalette::Disabled, QPalette::Text));
        // Every column shows, "Réveiller" included.
        QHeaderView *header = devices->horizontalHeader();
        QVERIFY2(header->sectionViewportPosition(historytable::WakeColumn) +
                         header->sectionSize(historytable::WakeColumn) <=
                     devices->viewport()->width(),
                 qPrintable(QString::number(dialog->width())));

        const auto clickHeader = [header](int column) {
            QTest::mouseClick(
                header->viewport(), Qt::LeftButton, {},
                QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
        };
        clickHeader(1);
        QCOMPARE(ShownColumn(devices, 1),
                 (QStringList{"198.51.100.9", "198.51.100.20", "198.51.100.21"}));
        QVERIFY(devices->cellWidget(0, historytable::WakeColumn) &&
                !devices->cellWidget(1, historytable::WakeColumn)); // "Réveiller"
        clickHeader(1);
        QCOMPARE(ShownColumn(devices, 1),
                 (QStringList{"198.51.100.21", "198.51.100.20", "198.51.100.9"}));

        // The window goes on beside it, and so does the order chosen.
        Show(window, {{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}},
                      {NetworkOrder("198.51.100.21"), HostRecord{MacB, false}}});
        QCOMPARE(Table(window)->rowCount(), 2);
        QTRY_COMPARE(ShownColumn(devices, historytable::LastSeenColumn).at(0),
                     QStringLiteral("présent"));
        QCOMPARE(ShownColumn(devices, 1),
                 (QStringList{"198.51.100.21", "198.51.100.20", "198.51.100.9"}));

        dialog->SelectDevice(TextA);
        bool asked = false; // Return in the filter asks nothing
        AnswerMessageBox(dialog, [&asked](QMessageBox *box) { asked = box; });
        QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("Filter_")),
                         QStringLiteral("2b3c4d5e"));
        QTest::keyClick(dialog->findChild<QLineEdit *>(QStringLiteral("Filter_")), Qt::Key_Return);
        QTest::qWait(200);
        QVERIFY(!asked && dialog->isVisible());
        QCOMPARE(ShownColumn(devices, 2), QStringList{TextA});
        dialog->findChild<QLineEdit *>(QStringLiteral("Filter_"))->setText(QStringLiteral("100.9"));
        QCOMPARE(ShownColumn(devices, 1), QStringList{"198.51.100.9"});
        dialog->SelectDevice(TextB.toLower()); // hidden by the filter, which goes
        QCOMPARE(ShownColumn(devices, 2).size(), 3);
        QCOMPARE(devices->item(devices->currentRow(), 2)->text(), TextB);

        header->resizeSection(3, 333);
        const int macWidth = header->sectionSize(2);
        historyNow += 3600 * 1000;
        Show(window, {{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}}});
        QTRY_COMPARE(ShownColumn(devices, historytable::LastSeenColumn).at(2),
                     QStringLiteral("absent depuis 3 h"));
        QCOMPARE(header->sectionSize(3), 333);
        // An untouched column fits its contents again: the same width, within
        // the pixel Wine's font metrics may round to.
        QVERIFY2(qAbs(header->sectionSize(2) - macWidth) <= 1,
                 qPrintable(QStringLiteral("%1 / %2").arg(header->sectionSize(2)).arg(macWidth)));
        QCOMPARE(devices->item(devices->currentRow(), 2)->text(), TextB);

        const QPointer<HistoryDialog> open(dialog); // Escape still closes it
        QTest::keyClick(devices, Qt::Key_Escape);
        QTRY_VERIFY(!open || !open->isVisible());
    }

    // After "Réveiller", a scan and a sort, "Oublier…" asks about the device
    // whose wake was asked for, not the one the rows' order puts first.
    void forgetNamesTheDeviceWokenAfterAScan()
    {
        TrelvanWindow window;
        HistoryDialog *dialog = OpenHistory(window);
        auto *devices = dialog->findChild<QTableWidget *>(QStringLiteral("Devices_"));
        QTRY_COMPARE(devices->rowCount(), 3);
        network.setInterfaces({}); // the wake is refused: nothing is sent
        qobject_cast<QPushButton *>(devices->cellWidget(2, historytable::WakeColumn))->click();
        QTRY_VERIFY(dialog->findChild<QLabel *>(QStringLiteral("Status_"))
                        ->text()
                        .startsWith(QStringLiteral("Réveil impossible")));
        historyNow += 10000;
        window.PublishHosts({{NetworkOrder("198.51.100.20"), HostRecord{MacA, false}}});
        WindowInspector::tick(window);
        devices->horizontalHeader()->setSortIndicator(2, Qt::AscendingOrder);
        QCOMPARE(ShownColumn(devices, 2), (QStringList{MacC, TextA, TextB}));
        QString question;
        AnswerMessageBox(dialog, [&question](QMessageBox *box) {
            if (box)
                question = box->text();
        });
        dialog->findChild<QPushButton *>(QStringLiteral("Forget_"))->click();
        QVERIFY2(question.startsWith(QStringLiteral("Oublier l'appareil %0").arg(TextB)),
                 qPrintable(question));
    }

    // A device that left two hours ago: its strip is green up to then, grey
    // since, and says so under the pointer.
    void presenceStripShowsTheGap()
    {
        TrelvanWindow window;
        HistoryDialog *dialog = OpenHistory(window);
        dialog->resize(1600, 500);
        auto *devices = dialog->findChild<QTableWidget *>(QStringLiteral("Devices_"));
        QTRY_COMPARE(devices->rowCount(), 3);
        QCOMPARE(devices->item(2, 2)->text(), TextB);
        const auto strip =
            devices->item(2, historytable::StripColumn)->data(Qt::UserRole).value<PresenceStrip>();
        QCOMPARE(strip.to, historyNow);
        QCOMPARE(strip.spans.size(), std::size_t(3));
        QCOMPARE(strip.spans[2].from, leftAt);
        QVERIFY(!strip.spans[2].present && strip.spans[1].present);
        QCOMPARE(StripToolTip(strip, historyNow - 3600 * 1000),
                 QStringLiteral("absent de %0 à %1")
                     .arg(QLocale(QLocale::French)
                              .toString(QDateTime::fromMSecsSinceEpoch(leftAt),
                                        QStringLiteral("ddd d MMM HH:mm")),
                          QLocale(QLocale::French)
                              .toString(QDateTime::fromMSecsSinceEpoch(historyNow),
                                        QStringLiteral("ddd d MMM HH:mm"))));

        QTest::qWait(50);
        const QRect bar =
            StripBar(devices->visualItemRect(devices->item(2, historytable::StripColumn)));
        const QImage image = devices->viewport()->grab().toImage();
        const auto colourAt = [&](qint64 time) {
            const int x = StripX(strip, bar, time);
            return image.pixel(x, bar.center().y()) & 0xffffff;
        };
        QCOMPARE(colourAt(historyNow - 3600 * 1000), StripAbsentRgb);
        QCOMPARE(colourAt(leftAt - 6 * 3600 * 1000), StripPresentRgb);
    }
};

TRELVAN_WIDGET_TEST_MAIN(TestResultsWindow)
#include "tst_results_window.moc"
