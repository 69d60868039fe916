// The window's form, its network picker and its heartbeat, with the
// machine's interfaces and address resolution replaced by fakes.
#include "app/historydialog.h"
#include "app/statusline.h"
#include "fakes.h"
#include "messagelog.h"
#include "network/gateways.h"
#include "presence/clock.h"
#include "results/hostrow.h"
#include "results/hosttext.h"
#include "testsupport.h"
#include "windowstate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <optional>
#include <tuple>

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

    // The status line's precedence: a refusal or unsaved comments always
    // shown; comments saved again give way to a refusal, then the history's
    // line; the history's line to a refusal or unsaved comments, and its end
    // brings the scan's line back; a scan's line or notice to any held line.
    void statusLineFor_data()
    {
        QTest::addColumn<QStringList>("held"); // refused, unsaved, history, scan
        QTest::addColumn<int>("offer");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("shown"); // "-": the status line stays
        const QStringList none{"", "", "", "scan"}, refused{"refused", "", "", "scan"},
            unsaved{"", "unsaved", "", "scan"}, history{"", "", "history", "scan"};
        using O = StatusOffer;
        const std::tuple<const char *, QStringList, O, const char *, const char *> rows[]{
            {"refusal over unsaved", unsaved, O::Refusal, "new", "new"},
            {"unsaved over refusal", refused, O::Unsaved, "new", "new"},
            {"saved, refused", refused, O::Saved, "saved", "refused"},
            {"saved, history", history, O::Saved, "saved", "history"},
            {"saved", none, O::Saved, "saved", "saved"},
            {"history, refused", refused, O::History, "fault", "-"},
            {"history, unsaved", unsaved, O::History, "fault", "-"},
            {"history", none, O::History, "fault", "fault"},
            {"history written", history, O::History, "", "scan"},
            {"scan", none, O::Scan, "new", "new"},
            {"scan, refused", refused, O::Scan, "new", "-"},
            {"scan, unsaved", unsaved, O::Scan, "new", "-"},
            {"scan, history", history, O::Scan, "new", "-"},
            {"notice", none, O::Notice, "new", "new"},
            {"notice, history", history, O::Notice, "new", "-"}};
        for (const auto &[name, held, offer, line, shown] : rows)
            QTest::newRow(name) << held << int(offer) << line << shown;
    }

    void statusLineFor()
    {
        QFETCH(QStringList, held);
        QFETCH(int, offer);
        QFETCH(QString, line);
        QFETCH(QString, shown);
        const std::optional<QString> said = StatusLineFor({held[0], held[1], held[2], held[3]},
                                                          static_cast<StatusOffer>(offer), line);
        QCOMPARE(said.value_or(QStringLiteral("-")), shown);
    }

    // What a new device's notice calls it: its type as in a sentence, then
    // its model.
    void deviceText_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("self");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("text");
        QTest::newRow("printer") << "printer" << false << "HP OfficeJet Pro 9010"
                                 << "imprimante HP OfficeJet Pro 9010";
        QTest::newRow("type alone") << "tv" << false << ""
                                    << "téléviseur";
        QTest::newRow("model alone") << "unknown" << false << "<b>X1</b>"
                                     << "<b>X1</b>";
        QTest::newRow("this machine") << "computer" << true << ""
                                      << "cet ordinateur";
        QTest::newRow("nothing known") << "unknown" << false << ""
                                       << "";
        QTest::newRow("a model that breaks the rule") << "speaker" << false << "A\u202Eevil"
                                                      << "enceinte";
    }

    void deviceText()
    {
        QFETCH(QString, type);
        QFETCH(bool, self);
        QFETCH(QString, model);
        QFETCH(QString, text);
        identify::Identity identity;
        identity.type = identify::TypeOfKey(type);
        identity.thisMachine = self;
        identity.model = model;
        QCOMPARE(DeviceText(ShownIdentity(identity)), text);
        HostRow row;
        row.identity = identity;
        QCOMPARE(NewDeviceNotice(row).title, text.isEmpty()
                                                 ? QStringLiteral("Nouvel appareil sur le réseau")
                                                 : QStringLiteral("Nouvel appareil : ") + text);
    }

    // One notice a scan for its new cards: one card, today's notice, or the
    // one that names what its device is; more, one that counts them and
    // names three.
    void newDevicesNotices_data()
    {
        QTest::addColumn<int>("cards");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("flood");
        QTest::addColumn<bool>("printer");  // the first card's
        QTest::addColumn<QString>("first"); // the body's first line
        const QString card = QStringLiteral("198.51.100.10 \u2014 02:00:00:00:00:10");
        const QString named = card + QStringLiteral(" \u2014 <b>nas</b>");
        const QString printer = QStringLiteral("imprimante HP OfficeJet Pro 9010");
        QTest::newRow("none") << 0 << QStringList{} << 0 << false << false << "";
        QTest::newRow("one") << 1 << QStringList{"Nouvel appareil sur le réseau"} << 3 << false
                             << false << card;
        QTest::newRow("one printer")
            << 1 << QStringList{"Nouvel appareil : " + printer} << 3 << false << true << card;
        QTest::newRow("two") << 2 << QStringList{"2 nouveaux appareils sur 198.51.100.0/24"} << 2
                             << false << false << named;
        QTest::newRow("two, a printer")
            << 2 << QStringList{"2 nouveaux appareils sur 198.51.100.0/24"} << 2 << false << true
            << named + QStringLiteral(" \u2014 ") + printer;
        QTest::newRow("five") << 5 << QStringList{"5 nouveaux appareils sur 198.51.100.0/24"} << 4
                              << false << false << named;
        // A flood and the cards the bound still took, in one scan: one notice.
        QTest::newRow("five in a flood")
            << 5 << QStringList{"233 appareils inconnus ignorés sur 198.51.100.0/24"} << 2 << true
            << false << "";
    }

    void newDevicesNotices()
    {
        QFETCH(int, cards);
        QFETCH(QStringList, titles);
        QFETCH(int, lines);
        QFETCH(bool, flood);
        QFETCH(bool, printer);
        QFETCH(QString, first);
        std::vector<HostRow> rows;
        for (int i = 0; i < cards; ++i) {
            HostRow row;
            row.ip = QStringLiteral("198.51.100.%1").arg(10 + i);
            row.mac = QStringLiteral("02:00:00:00:00:%1").arg(10 + i);
            row.maker = QStringLiteral("(adresse locale)");
            row.name = i == 0 ? QStringLiteral("<b>nas</b>") : QString();
            if (i == 0 && printer) {
                row.identity.type = identify::DeviceType::Printer;
                row.identity.model = QStringLiteral("HP OfficeJet Pro 9010");
            }
            rows.push_back(row);
        }
        const QString cidr = QStringLiteral("198.51.100.0/24");
        std::vector<Notice> notices;
        if (flood)
            notices.push_back(FloodNotice(233, cidr));
        for (const Notice &notice : NewDevicesNotices(rows, cidr))
            notices.push_back(notice);
        const std::optional<Notice> one = OneNotice(notices);
        QCOMPARE(one ? QStringList{one->title} : QStringList{}, titles);
        if (!one)
            return;
        const QStringList body = one->body.split(QLatin1Char('\n'));
        QCOMPARE(body.size(), lines);
        if (flood) {
            QCOMPARE(body.back(),
                     QStringLiteral("%1 nouveaux appareils sur %2").arg(cards).arg(cidr));
            return;
        }
        QVERIFY(body.front().startsWith(QStringLiteral("198.51.100.10 \u2014 02:00:00:00:00:10")));
        QCOMPARE(body.front(), first);
        if (cards > 3)
            QCOMPARE(body.back(), QStringLiteral("et %1 autres").arg(cards - 3));
    }

    // A hostile neighbour against the window, on the history's own clock: a
    // hundred never-seen cards at each of five scans after the network's
    // first give at most one notice a scan, and the flood's status line and
    // notice once in the hour; a card that answers for an address another
    // holds is told on the status line, not obeyed; the gateway's address
    // answered by other cards gives one notice, once.
    void hostileNeighbourIsToldOnceNotObeyed()
    {
        using Bytes = std::vector<unsigned char>;
        const Bytes gateway{0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
        const Bytes own{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        const Bytes other{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
        const QString cidr = QStringLiteral("198.51.100.0/24");
        const auto restore = qScopeGuard([] {
            SetGatewayLister(&fakes::NoGateways);
            presence::SetClock(nullptr);
        });
        // Its gateway at 198.51.100.254; the history's clock is the test's.
        SetGatewayLister([] { return QList<GatewayRoute>{{QString(), 0xC63364FE, true, 0}}; });
        static qint64 historyNow = 0;
        presence::SetClock([] { return historyNow; });
        historyNow = QDateTime(QDate(2026, 12, 8), QTime(9, 0)).toMSecsSinceEpoch();
        fakeNow = QTime(12, 0); // the heartbeat's clock stands still: no scan but those published
        TrelvanWindow::SetClock(&FakeClock);
        network.setInterfaces({Entry("198.51.100.1", "255.255.255.0")});
        notifier.notices.clear();
        TrelvanWindow window;
        QLabel *status = WindowInspector::ui(window).Status_;
        WindowInspector::finishScan(window); // nobody answered, the gateway neither
        const auto show = [&window](const HostMap &hosts) {
            historyNow += 10000;
            window.PublishHosts(hosts);
            WindowInspector::tick(window);
            return WindowInspector::settle(window);
        };
        HostMap home{{fakes::NetworkOrder("198.51.100.254"), HostRecord{gateway, false}},
                     {fakes::NetworkOrder("198.51.100.20"), HostRecord{own, false}}};
        QVERIFY(show(home)); // the network's first scan: silent
        QCOMPARE(notifier.notices.size(), std::size_t(0));

        const QString flood = QStringLiteral(" appareils inconnus ignorés sur ") + cidr;
        int floodLines = 0;
        std::size_t floodNotices = 0;
        for (int scan = 0; scan < 5; ++scan) {
            HostMap hosts = home;
            for (int i = 0; i < 100; ++i)
                hosts[HostKey(0xC6336400u + quint32(30 + i))] = // 198.51.100.30 onwards
                    HostRecord{{0x02, 0x66, 0x00, quint8(scan), quint8(i), 0x01}, false};
            status->clear();
            const std::size_t before = notifier.notices.size();
            QVERIFY(show(hosts));
            QVERIFY2(notifier.notices.size() - before <= 1, qPrintable(QString::number(scan)));
            if (status->text().endsWith(flood))
                ++floodLines;
            for (std::size_t i = before; i < notifier.notices.size(); ++i)
                floodNotices += notifier.notices[i].title.endsWith(flood);
            QCOMPARE(WindowInspector::ui(window).Hosts_->rowCount(), 102); // they answered
        }
        QCOMPARE(floodLines, 1);
        QCOMPARE(floodNotices, std::size_t(1));

        HostMap claimed = home;
        claimed[fakes::NetworkOrder("198.51.100.20")].conflictMac = other;
        std::size_t before = notifier.notices.size();
        QVERIFY(show(claimed));
        QCOMPARE(status->text(),
                 QStringLiteral("Conflit d'adresse\u00a0: 198.51.100.20 revendiquée par "
                                "00:1A:2B:3C:4D:5E et 02:1A:2B:3C:4D:5F"));
        QCOMPARE(notifier.notices.size(), before);

        const QString changed = QStringLiteral("La passerelle de %1 a changé de carte").arg(cidr);
        before = notifier.notices.size();
        for (const int last : {1, 1, 2}) { // one fake card, again, then another
            HostMap spoofed = home;
            spoofed[fakes::NetworkOrder("198.51.100.254")] =
                HostRecord{{0x02, 0x99, 0x00, 0x00, 0x00, quint8(last)}, false};
            QVERIFY(show(spoofed));
        }
        QCOMPARE(notifier.notices.size(), before + 1);
        QCOMPARE(notifier.notices.back().title, changed);
        QVERIFY(notifier.notices.back().body.contains(QStringLiteral("02:99:00:00:00:01")));
        QVERIFY(notifier.notices.back().body.contains(QStringLiteral("00:00:0C:07:AC:01")));
    }
};

TRELVAN_WIDGET_TEST_MAIN(TestWindow)
#include "tst_window.moc"
