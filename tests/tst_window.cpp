// The window's form, its network picker and its heartbeat, with the
// machine's interfaces and address resolution replaced by fakes.
#include "app/historydialog.h"
#include "fakes.h"
#include "messagelog.h"
#include "results/hostrow.h"
#include "testsupport.h"
#include "windowstate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

using fakes::Entry;

namespace {

QTime fakeNow;
QTime FakeClock()
{
    return fakeNow;
}

// Every index change of the picker, with whether a rebuild was under way.
struct SlotCalls
{
    QList<QPair<int, bool>> calls;
    QList<int> realChoices() const
    {
        QList<int> indexes;
        for (const auto &call : calls)
            if (!call.second)
                indexes << call.first;
        return indexes;
    }
};

void Record(TrelvanWindow &window, SlotCalls &calls)
{
    QObject::connect(WindowInspector::ui(window).Networks_, &QComboBox::currentIndexChanged,
                     &window, [&window, &calls](int index) {
                         calls.calls.append({index, WindowInspector::refreshingNetworks(window)});
                     });
}

QStringList Items(QComboBox *box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private:
    TemporarySettings settings;
    fakes::SafeNetwork network;
    FakeNotifier notifier;

private slots:
    void initTestCase() { TrelvanWindow::SetNotifier(&notifier); }

    void init()
    {
        network.reset();
        TrelvanWindow::SetClock(nullptr);
        ForgetHistory();
    }

    // --- the form ---

    void captions()
    {
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        QCOMPARE(window.windowTitle(), QStringLiteral("Trelvan"));
        QCOMPARE(ui.PickNetwork_->text(),
                 QString::fromUtf8("Choisissez un &r\xC3\xA9seau\xC2\xA0:"));
        QCOMPARE(ui.PickNetwork_->text().at(21), QChar(0x00A0));
        QCOMPARE(ui.FoundHosts_->text(), QString::fromUtf8("Ordinateurs d\xC3\xA9tect\xC3\xA9s"));
        QCOMPARE(ui.History_->text(), QStringLiteral("&Historique…"));
        QCOMPARE(ui.About_->text(), QStringLiteral("A &propos de"));
        QCOMPARE(ui.Close_->text(), QStringLiteral("&Fermer"));
        QCOMPARE(ui.Status_->text(), QStringLiteral("Initialisation..."));
        QCOMPARE(window.objectName(), QStringLiteral("TrelvanWindowClass"));
        QCOMPARE(ui.PickNetwork_->buddy(), ui.Networks_);
        QVERIFY(!window.windowIcon().isNull());
    }

    void objectNamesAndPolicies()
    {
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        for (const char *name :
             {"Layout_", "NetworksLayout_", "PickNetwork_", "Networks_", "FoundHosts_",
              "ButtonsLayout_", "History_", "About_", "Close_", "Hosts_", "Status_"})
            QVERIFY2(window.findChild<QObject *>(QString::fromLatin1(name)), name);
        QCOMPARE(ui.Networks_->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(ui.Networks_->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(ui.Networks_->sizePolicy().horizontalStretch(), 1);
        QCOMPARE(ui.Networks_->insertPolicy(), QComboBox::InsertAlphabetically);
        QCOMPARE(ui.PickNetwork_->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(ui.Hosts_->sizePolicy().verticalStretch(), 1);
        QCOMPARE(ui.Hosts_->minimumSize(), QSize(100, 20));
        QVERIFY(ui.Hosts_->alternatingRowColors());
        QCOMPARE(ui.Layout_->spacing(), 6);
        QCOMPARE(ui.Layout_->contentsMargins(), QMargins(10, 10, 10, 10));
        QCOMPARE(window.contextMenuPolicy(), Qt::ActionsContextMenu);
        QVERIFY(window.isSizeGripEnabled());
    }

    void geometry()
    {
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        QCOMPARE(window.size(), QSize(600, 600));
        QCOMPARE(window.minimumSize(), QSize(300, 150));
        window.resize(100, 100);
        QCOMPARE(window.size(), QSize(300, 150));

        window.resize(600, 600);
        QApplication::processEvents();
        const int pickerHeight = ui.Networks_->height();
        const int tableHeight = ui.Hosts_->height();
        const int statusHeight = ui.Status_->height();
        const int buttonRight = window.width() - ui.Close_->geometry().right();
        const int labelWidth = ui.PickNetwork_->width();
        const int pickerWidth = ui.Networks_->width();

        window.resize(800, 900);
        QApplication::processEvents();
        QCOMPARE(ui.Hosts_->height(), tableHeight + 300);
        QCOMPARE(ui.Networks_->height(), pickerHeight);
        QCOMPARE(ui.Status_->height(), statusHeight);
        QCOMPARE(ui.PickNetwork_->width(), labelWidth);
        QCOMPARE(ui.Networks_->width(), pickerWidth + 200);
        QCOMPARE(window.width() - ui.Close_->geometry().right(), buttonRight);
        QVERIFY(ui.History_->geometry().right() < ui.About_->geometry().left());
        QVERIFY(ui.About_->geometry().right() < ui.Close_->geometry().left());
    }

    void tabOrder()
    {
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        ui.Networks_->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ui.Hosts_));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ui.Close_));
    }

    void mnemonics()
    {
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));

        ui.Close_->setFocus();
        QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(ui.Networks_));

        bool aboutShown = false;
        QTimer::singleShot(200, [&aboutShown] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                aboutShown = true;
                box->accept();
            }
        });
        QTest::keyClick(&window, Qt::Key_P, Qt::AltModifier);
        QTRY_VERIFY(aboutShown);

        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_H, Qt::AltModifier);
        QTRY_VERIFY(window.findChild<HistoryDialog *>());
        window.findChild<HistoryDialog *>()->close();

        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(!window.isVisible());
    }

    void closingInAnyWayReturnsZero_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Close button") << 0;
        QTest::newRow("title-bar button") << 1;
        QTest::newRow("Escape") << 2;
    }

    void closingInAnyWayReturnsZero()
    {
        QFETCH(int, way);
        TrelvanWindow window;
        QTimer::singleShot(0, &window, [&window, way] {
            if (way == 0)
                WindowInspector::ui(window).Close_->click();
            else if (way == 1)
                window.close();
            else
                QTest::keyClick(&window, Qt::Key_Escape);
        });
        QCOMPARE(window.exec(), 0);
    }

    void closingDuringAScanEndsPromptly()
    {
        // A /16 whose every probe blocks for a second would run for over a
        // minute; closing must stop it starting probes and wait only for
        // those under way.
        network.setInterfaces({Entry("198.51.0.1", "255.255.0.0")});
        network.setSilence(1000);
        QElapsedTimer timer;
        {
            auto window = std::make_unique<TrelvanWindow>();
            QVERIFY(WindowInspector::checker(*window));
            QTRY_VERIFY(network.asked().size() >= 100);
            QTimer::singleShot(0, window.get(), [&window] { window->close(); });
            QCOMPARE(window->exec(), 0);
            timer.start();
            window.reset();
        }
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(network.asked().size() < 65535);
    }

    // --- the network picker ---

    void pickerSkipsEntriesWithoutNetmask()
    {
        network.setInterfaces(
            {Entry("198.51.100.10", "255.255.255.0"), Entry("198.51.100.11", nullptr)});
        TrelvanWindow window;
        QComboBox *picker = WindowInspector::ui(window).Networks_;
        QCOMPARE(Items(picker), QStringList{"198.51.100.10 / 255.255.255.0"});
        QCOMPARE(picker->currentIndex(), 0);
        // The entry carries its network; the text is only shown.
        QCOMPARE(picker->itemData(0).value<Ipv4Network>().EntryText(),
                 QStringLiteral("198.51.100.10 / 255.255.255.0"));
        QVERIFY(WindowInspector::checker(window));
        QCOMPARE(WindowInspector::checker(window)->address, QHostAddress("198.51.100.10"));
        QCOMPARE(WindowInspector::checker(window)->netmask, QHostAddress("255.255.255.0"));
        QCOMPARE(WindowInspector::timerId(window) != 0, true);
        WindowInspector::finishScan(window);

        SlotCalls calls;
        Record(window, calls);
        WindowInspector::refreshNetworks(window);
        QCOMPARE(calls.realChoices(), QList<int>{0});
    }

    void pickerKeepsTheChoice()
    {
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0"),
                               Entry("203.0.113.1", "255.255.255.0"),
                               Entry("198.51.100.129", "255.255.255.128")});
        TrelvanWindow window;
        QComboBox *picker = WindowInspector::ui(window).Networks_;
        WindowInspector::finishScan(window);
        picker->setCurrentIndex(1);
        WindowInspector::finishScan(window);

        SlotCalls calls;
        Record(window, calls);
        WindowInspector::refreshNetworks(window);
        QCOMPARE(picker->currentIndex(), 1);
        QCOMPARE(calls.realChoices(), QList<int>{1});
        QCOMPARE(WindowInspector::checker(window)->address, QHostAddress("203.0.113.1"));
        WindowInspector::finishScan(window);

        // The chosen network is gone: the first entry takes its place.
        network.setInterfaces(
            {Entry("198.51.100.1", "255.255.255.0"), Entry("198.51.100.129", "255.255.255.128")});
        calls.calls.clear();
        WindowInspector::refreshNetworks(window);
        QCOMPARE(picker->currentIndex(), 0);
        QCOMPARE(calls.realChoices(), QList<int>{0});
        WindowInspector::finishScan(window);
    }

    void pickerListsDuplicatesAndKeepsTheFirst()
    {
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0"),
                               Entry("203.0.113.1", "255.255.255.0"),
                               Entry("203.0.113.1", "255.255.255.0")});
        TrelvanWindow window;
        QComboBox *picker = WindowInspector::ui(window).Networks_;
        QCOMPARE(picker->count(), 3);
        picker->setCurrentIndex(2);
        WindowInspector::finishScan(window);
        WindowInspector::refreshNetworks(window);
        QCOMPARE(picker->currentIndex(), 1);
        WindowInspector::finishScan(window);
    }

    void pickerListsIPv4OffLoopbackOnly()
    {
        network.setInterfaces(
            {Entry("127.0.0.1", "255.0.0.0", true), Entry("198.51.100.7", "255.255.255.0"),
             Entry("2001:db8::1", "ffff:ffff:ffff:ffff::"),
             Entry("198.51.100.8", "255.255.255.128"), Entry("10.1.2.3", "255.255.255.0", true)});
        TrelvanWindow window;
        QCOMPARE(Items(WindowInspector::ui(window).Networks_),
                 (QStringList{"198.51.100.7 / 255.255.255.0", "198.51.100.8 / 255.255.255.128"}));
        WindowInspector::finishScan(window);
    }

    void noNetworksNoScan()
    {
        TrelvanWindow window;
        QComboBox *picker = WindowInspector::ui(window).Networks_;
        QCOMPARE(picker->count(), 0);
        QCOMPARE(picker->currentIndex(), -1);
        QVERIFY(!WindowInspector::checker(window));
        SlotCalls calls;
        Record(window, calls);
        WindowInspector::refreshNetworks(window);
        for (const auto &call : calls.calls)
            QVERIFY(call.first < 0 || call.second);
        QVERIFY(!WindowInspector::checker(window));
        QCOMPARE(WindowInspector::ui(window).Status_->text(), QStringLiteral("Initialisation..."));
    }

    void launchWhileAScanExistsIsDropped()
    {
        network.setInterfaces(
            {Entry("198.51.100.1", "255.255.255.0"), Entry("203.0.113.1", "255.255.255.0")});
        TrelvanWindow window;
        CheckThread *first = WindowInspector::checker(window);
        QVERIFY(first);
        first->wait();
        // Finished, not yet deleted by the heartbeat: still no new scan.
        WindowInspector::ui(window).Networks_->setCurrentIndex(1);
        QCOMPARE(WindowInspector::checker(window), first);
        WindowInspector::finishScan(window);
        QVERIFY(!WindowInspector::checker(window));
    }

    void tooWideNetworkIsRefused()
    {
        network.setInterfaces(
            {Entry("198.51.100.1", "255.0.0.0"), Entry("198.51.0.1", "255.255.0.0")});
        fakeNow = QTime(12, 0, 0);
        TrelvanWindow::SetClock(&FakeClock);
        TrelvanWindow window;
        QLabel *status = WindowInspector::ui(window).Status_;
        const QString refusal =
            QString::fromUtf8("R\xC3\xA9seau trop grand : 198.51.100.1 / 255.0.0.0 compte ") +
            QLocale(QLocale::French).toString(16777216) +
            QStringLiteral(" adresses (65 536 au plus).");
        QCOMPARE(status->text(), refusal);
        QVERIFY(!WindowInspector::checker(window));

        // Neither the refresh nor a line left by an earlier scan replaces it,
        // and nothing is ever asked.
        window.SetPendingStatus(QStringLiteral("Fin de recherche"));
        fakeNow = QTime(12, 0, 10);
        WindowInspector::tick(window);
        QVERIFY(!WindowInspector::checker(window));
        QCOMPARE(status->text(), refusal);
        QVERIFY(network.asked().empty());

        // A /16 is scanned.
        WindowInspector::ui(window).Networks_->setCurrentIndex(1);
        QVERIFY(WindowInspector::checker(window));
        WindowInspector::checker(window)->Stop();
        WindowInspector::finishScan(window);
        QVERIFY(status->text().startsWith(QStringLiteral("Fin de recherche 198.51.0.1")));
    }

    // --- the heartbeat ---

    void foreignTimerIsIgnored()
    {
        TrelvanWindow window;
        window.SetPendingStatus(QStringLiteral("ligne"));
        WindowInspector::tick(window, WindowInspector::timerId(window) + 1000);
        QCOMPARE(WindowInspector::ui(window).Status_->text(), QStringLiteral("Initialisation..."));
        QCOMPARE(WindowInspector::pendingStatus(window), QStringLiteral("ligne"));
    }

    void statusLineIsShownOnceAndKept()
    {
        TrelvanWindow window;
        window.SetPendingStatus(QStringLiteral("Fin de recherche"));
        QTRY_COMPARE_WITH_TIMEOUT(WindowInspector::ui(window).Status_->text(),
                                  QStringLiteral("Fin de recherche"), 1000);
        QVERIFY(WindowInspector::pendingStatus(window).isEmpty());
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::ui(window).Status_->text(), QStringLiteral("Fin de recherche"));
    }

    void emptyResultLeavesTheTable()
    {
        TrelvanWindow window;
        const quint32 key = fakes::NetworkOrder("127.0.0.20");
        window.PublishHosts(HostMap{{key, HostRecord{{0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, false}}});
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::ui(window).Hosts_->rowCount(), 1);
        window.PublishHosts(HostMap());
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::ui(window).Hosts_->rowCount(), 1);
        QCOMPARE(WindowInspector::shownHosts(window).size(), std::size_t(1));
    }

    void refreshComesAfterTenSeconds()
    {
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0")});
        fakeNow = QTime(12, 0, 0);
        TrelvanWindow::SetClock(&FakeClock);
        TrelvanWindow window;
        WindowInspector::finishScan(window);
        QCOMPARE(WindowInspector::lastRefresh(window), QTime(12, 0, 0));

        fakeNow = QTime(12, 0, 9, 999);
        WindowInspector::tick(window);
        QVERIFY(!WindowInspector::checker(window));
        QCOMPARE(WindowInspector::lastRefresh(window), QTime(12, 0, 0));

        fakeNow = QTime(12, 0, 10);
        WindowInspector::tick(window);
        QVERIFY(WindowInspector::checker(window));
        QCOMPARE(WindowInspector::lastRefresh(window), fakeNow);
        WindowInspector::finishScan(window);
    }

    void refreshWhileAScanRunsStartsNothing()
    {
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0")});
        network.setSilence(1500);
        fakeNow = QTime(12, 0, 0);
        TrelvanWindow::SetClock(&FakeClock);
        TrelvanWindow window;
        CheckThread *running = WindowInspector::checker(window);
        QVERIFY(running && !running->isFinished());
        fakeNow = QTime(12, 0, 10);
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::checker(window), running);
        QCOMPARE(WindowInspector::lastRefresh(window), QTime(12, 0, 10));
        QCOMPARE(WindowInspector::ui(window).Networks_->count(), 1);

        // Once it has finished, the next due refresh replaces it.
        running->wait();
        fakeNow = QTime(12, 0, 20);
        WindowInspector::tick(window);
        QVERIFY(WindowInspector::checker(window));
        network.setSilence(0);
        WindowInspector::finishScan(window);
    }

    void refreshKeepsComingAcrossMidnight()
    {
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0")});
        fakeNow = QTime(23, 59, 58);
        TrelvanWindow::SetClock(&FakeClock);
        TrelvanWindow window;
        WindowInspector::finishScan(window);
        fakeNow = QTime(0, 0, 1);
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::lastRefresh(window), QTime(0, 0, 1));
        QVERIFY(WindowInspector::checker(window));
        WindowInspector::finishScan(window);
        fakeNow = QTime(0, 0, 11);
        WindowInspector::tick(window);
        QCOMPARE(WindowInspector::lastRefresh(window), QTime(0, 0, 11));
        WindowInspector::finishScan(window);
    }

    void refreshWithTheListOpenKeepsThePicker()
    {
        network.setInterfaces(
            {Entry("198.51.100.1", "255.255.255.0"), Entry("203.0.113.1", "255.255.255.0")});
        fakeNow = QTime(12, 0, 0);
        TrelvanWindow::SetClock(&FakeClock);
        TrelvanWindow window;
        QComboBox *picker = WindowInspector::ui(window).Networks_;
        picker->setCurrentIndex(1);
        WindowInspector::finishScan(window);
        picker->showPopup();
        QTRY_VERIFY(picker->view()->isVisible());

        // Interfaces change while the list is open: it is not rebuilt, and
        // the current entry is scanned.
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0")});
        fakeNow = QTime(12, 0, 10);
        WindowInspector::tick(window);
        QCOMPARE(picker->count(), 2);
        QCOMPARE(picker->currentIndex(), 1);
        QVERIFY(WindowInspector::checker(window));
        QCOMPARE(WindowInspector::checker(window)->address, QHostAddress("203.0.113.1"));
        picker->hidePopup();
        WindowInspector::finishScan(window);

        // Closed: the next refresh rebuilds it and falls back to entry 0.
        fakeNow = QTime(12, 0, 20);
        WindowInspector::tick(window);
        QCOMPARE(picker->count(), 1);
        QCOMPARE(picker->currentIndex(), 0);
        WindowInspector::finishScan(window);
    }

    // One notice a scan for its new cards: one card, today's notice; more,
    // one that counts them and names three.
    void newDevicesNotices_data()
    {
        QTest::addColumn<int>("cards");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<int>("lines");
        QTest::newRow("none") << 0 << QStringList{} << 0;
        QTest::newRow("one") << 1 << QStringList{"Nouvel appareil sur le réseau"} << 3;
        QTest::newRow("two") << 2 << QStringList{"2 nouveaux appareils sur 198.51.100.0/24"} << 2;
        QTest::newRow("five") << 5 << QStringList{"5 nouveaux appareils sur 198.51.100.0/24"} << 4;
    }

    void newDevicesNotices()
    {
        QFETCH(int, cards);
        QFETCH(QStringList, titles);
        QFETCH(int, lines);
        std::vector<HostRow> rows;
        for (int i = 0; i < cards; ++i) {
            HostRow row;
            row.ip = QStringLiteral("198.51.100.%1").arg(10 + i);
            row.mac = QStringLiteral("02:00:00:00:00:%1").arg(10 + i);
            row.maker = QStringLiteral("(adresse locale)");
            row.name = i == 0 ? QStringLiteral("<b>nas</b>") : QString();
            rows.push_back(row);
        }
        const std::vector<Notice> notices =
            NewDevicesNotices(rows, QStringLiteral("198.51.100.0/24"));
        QStringList shown;
        for (const Notice &notice : notices)
            shown << notice.title;
        QCOMPARE(shown, titles);
        if (notices.empty())
            return;
        const QStringList body = notices.front().body.split(QLatin1Char('\n'));
        QCOMPARE(body.size(), lines);
        QVERIFY(body.front().startsWith(QStringLiteral("198.51.100.10 \u2014 02:00:00:00:00:10")));
        if (cards > 3)
            QCOMPARE(body.back(), QStringLiteral("et %1 autres").arg(cards - 3));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
