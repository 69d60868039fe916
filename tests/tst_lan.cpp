// The real program code in a LAN of network namespaces that the wrapper
// tests/lan/run-lan-test.sh built: real interface listing, real address
// resolution, real port-80 connections. It must run inside that LAN's
// scanner namespace and nowhere else; it refuses to run without the LAN's
// state folder.
#include "messagelog.h"
#include "testsupport.h"
#include "tooltip.h"
#include "windowstate.h"

#include "identify/asker.h"
#include "network/namerule.h"
#include "platform/linux/helperfile.h"
#include "platform/linux/helpersession.h"
#include "platform/linux/resolverclient.h"
#include "platform/linux/resolverprotocol.h"
#include "platform/sendarp.h"
#include "resolver/limits.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <csignal>
#include <set>

namespace {

struct LanHost
{
    QString mac;
    QString web;   // yes, no or drop
    QString label; // its name in the LAN's DNS, when it has one
};

QMutex askedMutex;
std::vector<quint32> asked;

// The system's own resolution, with a note of every address asked.
quint32 RecordingSendARP(quint32 destIp, quint32 srcIp, void *macAddr, quint32 *physAddrLen)
{
    {
        QMutexLocker locker(&askedMutex);
        asked.push_back(destIp);
    }
    return platform::SystemSendARP(destIp, srcIp, macAddr, physAddrLen);
}

QString LanDir()
{
    return qEnvironmentVariable("TRELVAN_LAN_DIR");
}

QMap<QString, QString> LanEnv()
{
    QMap<QString, QString> values;
    QFile file(LanDir() + QStringLiteral("/lan.env"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype equals = line.indexOf('=');
            if (equals > 0)
                values[QString::fromUtf8(line.left(equals))] =
                    QString::fromUtf8(line.mid(equals + 1));
        }
    return values;
}

QMap<QString, LanHost> LanHosts()
{
    QMap<QString, LanHost> hosts;
    QFile file(LanDir() + QStringLiteral("/hosts.tsv"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const QList<QByteArray> fields = line.split('\t');
            hosts[QString::fromUtf8(fields.value(0))] = {
                QString::fromUtf8(fields.value(1)).toUpper(), QString::fromUtf8(fields.value(2)),
                QString::fromUtf8(fields.value(4))};
        }
    return hosts;
}

// The hosts that tests/lan/names.py plays ("rogues"), or that say what they
// are ("says": avahi-daemon's services, says.py): address -> kind, and for
// one that speaks of another host, that host's address.
QMap<QString, QPair<QString, QString>> LanRogues(const QString &list = QStringLiteral("rogues"))
{
    QMap<QString, QPair<QString, QString>> rogues;
    QFile file(LanDir() + QLatin1Char('/') + list);
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() >= 2)
                rogues[QString::fromUtf8(fields[0])] = {QString::fromUtf8(fields[1]),
                                                        QString::fromUtf8(fields.value(2))};
        }
    return rogues;
}

// The multicast DNS name of names.py's markup host, without ".local".
const QString MarkupName = QStringLiteral("=<img src=x width=3000 height=2000>");

// The makers that only the IEEE's smaller blocks give, as their listings
// name them, for the hosts of the presets that have such MACs.
const QMap<QString, QString> BlockMakers{
    {QStringLiteral("70:B3:D5:57:70:44"), QStringLiteral("DSILOG")},      // MA-S
    {QStringLiteral("70:B3:D5:96:B0:18"), QStringLiteral("FOCAL-JMLab")}, // MA-S
    {QStringLiteral("60:95:CE:8D:00:45"), QStringLiteral("Trophy SAS")},  // MA-M
    {QStringLiteral("D8:86:0B:5D:00:50"), QStringLiteral("CAMTRACE")},    // MA-M
};

// What the table shows: IP -> (MAC text, has a "Connecter" button).
QMap<QString, QPair<QString, bool>> TableRows(QTableWidget *table)
{
    QMap<QString, QPair<QString, bool>> rows;
    for (int row = 0; row < table->rowCount(); ++row)
        rows[table->item(row, 1)->text()] = {table->item(row, 2)->text(),
                                             table->cellWidget(row, 4) != nullptr};
    return rows;
}

// The link-local IPv6 address a host makes from its MAC (AA:BB:...).
QString LinkLocal(const QString &mac)
{
    QByteArray eui = QByteArray::fromHex(mac.toLatin1().replace(':', "")).insert(3, "\xff\xfe");
    eui[0] = char(eui[0] ^ 0x02);
    const QString hex = QString::fromLatin1(eui.toHex());
    return QHostAddress(QStringLiteral("fe80::%1:%2:%3:%4")
                            .arg(hex.mid(0, 4), hex.mid(4, 4), hex.mid(8, 4), hex.mid(12, 4)))
        .toString();
}

// The fields of /proc/PID/status; empty when the process is gone.
QMap<QString, QString> ProcStatus(qint64 pid)
{
    QMap<QString, QString> fields;
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                fields[QString::fromUtf8(line.left(colon))] =
                    QString::fromUtf8(line.mid(colon + 1)).trimmed();
        }
    return fields;
}

// The resolver helper that the process `parent` started, or 0.
qint64 HelperOf(qint64 parent)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        // Started from a descriptor, it may bear the descriptor's number as
        // its name (kernels before 6.x); the name it is given stays.
        QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(pid));
        const QByteArray first =
            arguments.open(QIODevice::ReadOnly) ? arguments.readAll().split('\0').value(0) : "";
        if (ProcStatus(pid).value(QStringLiteral("PPid")) == QString::number(parent) &&
            first.endsWith("trelvan-resolver"))
            return pid;
    }
    return 0;
}

// The process' start time, which tells it from a later one with its number.
QByteArray StartTime(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.value(0) == "Z" ? QByteArray() : fields.value(19);
}

// The most frames in any one second between `from` and `to` (seconds since
// the epoch) in the text that `tcpdump -tt` wrote.
int BusiestSecond(const QString &capture, double from, double to)
{
    QFile file(capture);
    std::vector<double> times;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            const double time = line.left(line.indexOf(' ')).toDouble();
            if (time >= from && time <= to)
                times.push_back(time);
        }
    int most = 0;
    for (std::size_t first = 0, last = 0; first < times.size(); ++first) {
        while (last < times.size() && times[last] < times[first] + 1)
            ++last;
        most = std::max(most, int(last - first));
    }
    return most;
}

const QString HelperEndedLine = QStringLiteral(
    "Le résolveur trelvan-resolver ne répond plus : la suite passe par la table de voisinage "
    "du noyau");

const QString HelperStoppedLine = QStringLiteral(
    "Le résolveur trelvan-resolver ne répond plus à temps : arrêté, la suite passe par la table "
    "de voisinage du noyau");
const QString HeldBackLine = QStringLiteral(
    "Le résolveur trelvan-resolver n'a pu envoyer aucune requête pendant 10 s, un autre "
    "processus tenant l'interface : ce parcours passe par la table de voisinage du noyau");
const QString NoHelperLine =
    QStringLiteral("Pas de résolveur trelvan-resolver pour un programme ni installé ni dans son "
                   "arbre de construction");

} // namespace

class TestLan : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TemporarySettings> settings;
    std::unique_ptr<MessageLog> log;
    QMap<QString, QString> env;

private slots:
    void initTestCase()
    {
        if (LanDir().isEmpty() || !QFile::exists(LanDir() + QStringLiteral("/hosts.tsv")))
            QSKIP("runs only inside a test LAN; see tests/lan/run-lan-test.sh");
        settings = std::make_unique<TemporarySettings>();
        log = std::make_unique<MessageLog>();
        env = LanEnv();
        SetProgramNames();
        platform::SetSendArpFunction(&RecordingSendARP);
    }

    void scanFindsExactlyTheHostsPresent()
    {
        const int timeoutMs = qEnvironmentVariableIntValue("TRELVAN_LAN_TIMEOUT_MS") > 0
                                  ? qEnvironmentVariableIntValue("TRELVAN_LAN_TIMEOUT_MS")
                                  : 30000;
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        const QString entry = QStringLiteral("%1 / %2").arg(env["SCANNER_IP"], env["NETMASK"]);
        QCOMPARE(ui.Networks_->currentText(), entry);
        QCOMPARE(ui.Networks_->count(), 1); // only the LAN; loopback is never listed

        QTRY_VERIFY_WITH_TIMEOUT(
            ui.Status_->text().startsWith(
                QStringLiteral("Fin de recherche %1 à ").arg(env["SCANNER_IP"])),
            timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(ui.Hosts_->rowCount() > 0, 2000);

        // Every host present, with its MAC and its port-80 answer, and the
        // scanner itself with its own MAC; nothing else.
        QMap<QString, QPair<QString, bool>> expected;
        const QMap<QString, LanHost> hosts = LanHosts();
        for (auto host = hosts.begin(); host != hosts.end(); ++host)
            expected[host.key()] = {host->mac, host->web == QStringLiteral("yes")};
        expected[env["SCANNER_IP"]] = {env["SCANNER_MAC"].toUpper(), false};
        const auto rows = TableRows(ui.Hosts_);
        for (auto row = expected.begin(); row != expected.end(); ++row)
            QVERIFY2(rows.value(row.key()) == row.value(),
                     qPrintable(QStringLiteral("%1: expected %2 web=%3, shown %4 web=%5")
                                    .arg(row.key(), row->first)
                                    .arg(row->second)
                                    .arg(rows.value(row.key()).first)
                                    .arg(rows.value(row.key()).second)));
        QCOMPARE(rows.size(), expected.size());

        // The makers of MACs in the smaller blocks, and the word for locally
        // administered MACs (the scanner's own is one; the presets' other
        // ones are in no listing). All five columns are in sight.
        int local = 0;
        for (int row = 0; row < ui.Hosts_->rowCount(); ++row) {
            const QString mac = ui.Hosts_->item(row, 2)->text();
            const QTableWidgetItem *maker = ui.Hosts_->item(row, 3);
            QVERIFY(maker);
            if (BlockMakers.contains(mac)) {
                QCOMPARE(maker->text(), BlockMakers[mac]);
            } else if ((mac.left(2).toUInt(nullptr, 16) & 0x03) == 0x02) {
                QCOMPARE(maker->text(), QStringLiteral("(adresse locale)"));
                QVERIFY(ToolTipShows(maker->toolTip())
                            .startsWith(QStringLiteral("Adresse administrée")));
                ++local;
            }
        }
        QVERIFY(local >= 1);
        QTRY_VERIFY(ui.Hosts_->horizontalHeader()->length() <= ui.Hosts_->viewport()->width());

        // With IPv6 on the LAN and a path for the echo (root's, or the
        // helper's where ping sockets are denied), each host's address
        // tooltip lists its link-local address.
        const bool echoes =
            env["IPV6"] == QStringLiteral("1") &&
            platform::CurrentResolutionPath() != platform::ResolutionPath::NeighbourTable;
        for (int row = 0; echoes && row < ui.Hosts_->rowCount(); ++row) {
            const QString ip = ui.Hosts_->item(row, 1)->text();
            const QString tip = ToolTipShows(ui.Hosts_->item(row, 1)->toolTip());
            const QString want = LinkLocal(ui.Hosts_->item(row, 2)->text());
            QVERIFY2(ip == env["SCANNER_IP"] || tip.split(QLatin1Char('\n')).contains(want),
                     qPrintable(QStringLiteral("%1: %2 not in %3").arg(ip, want, tip)));
        }

        // One request per address from the network address up to the one
        // before the broadcast address.
        std::set<quint32> probed;
        {
            QMutexLocker locker(&askedMutex);
            probed.insert(asked.begin(), asked.end());
        }
        const quint32 network = QHostAddress(env["NETWORK"]).toIPv4Address();
        const quint32 broadcast = QHostAddress(env["BROADCAST"]).toIPv4Address();
        QVERIFY(!probed.count(HostKey(broadcast)));
        QVERIFY(probed.count(HostKey(network)));
        QVERIFY(probed.count(HostKey(broadcast - 1)));
        QCOMPARE(quint32(probed.size()), broadcast - network);
        QVERIFY(
            MessageLog::lines().contains(QStringLiteral("\tRéponse de %1").arg(env["SCANNER_IP"])));
    }

    // In the LAN of tests/lan/lister-test.sh, with hosts whose names are
    // made of markup, hold a right-to-left override or a C1 control, come
    // under another id than the question's, or come from a neighbour that
    // answers for another host and floods the scanner: the scan ends in its
    // usual time, a tooltip draws a markup name as its characters, no larger
    // than the text, and no refused or spoofed name reaches a tooltip or a
    // hint; those hosts show their DNS names.
    void hostileNamesStayText()
    {
        const auto rogues = LanRogues();
        if (rogues.isEmpty())
            QSKIP("needs a LAN with rogue hosts (tests/lan/lister-test.sh)");
        QElapsedTimer sinceStart;
        sinceStart.start();
        TrelvanWindow window;
        TrelvanWindowUi &ui = WindowInspector::ui(window);
        QTRY_VERIFY_WITH_TIMEOUT(ui.Status_->text().startsWith(QStringLiteral("Fin de recherche")),
                                 20000);
        const qint64 scanMs = sinceStart.elapsed();
        qInfo("the scan under the flood took %lld ms", scanMs);
        QVERIFY2(scanMs < 10000, qPrintable(QString::number(scanMs)));
        QTRY_VERIFY_WITH_TIMEOUT(ui.Hosts_->rowCount() > 0, 2000);

        const QMap<QString, LanHost> hosts = LanHosts();
        QSet<QString> spoofed; // the hosts a neighbour answers for
        for (const auto &rogue : rogues)
            if (rogue.first == QStringLiteral("spoof"))
                spoofed.insert(rogue.second);
        QTableWidget *table = ui.Hosts_;
        int markup = 0;
        int withIpv6 = 0;
        for (int row = 0; row < table->rowCount(); ++row) {
            const QString ip = table->item(row, 1)->text();
            // The address's tooltip: the names, then the IPv6 addresses,
            // link-local first.
            QStringList names, ipv6;
            for (const QString &line :
                 ToolTipShows(table->item(row, 1)->toolTip()).split(QLatin1Char('\n')))
                (QHostAddress(line).protocol() == QAbstractSocket::IPv6Protocol ? ipv6 : names)
                    << line;
            if (!ipv6.isEmpty()) {
                QVERIFY2(ipv6.front().startsWith(QStringLiteral("fe80:")), qPrintable(ip));
                ++withIpv6;
            }
            const QString tip = names.join(QLatin1Char('\n'));
            // The hint is the first of the names: the one its owner chose.
            QCOMPARE(table->item(row, 0)->data(CommentHintRole).toString(),
                     tip.section(QLatin1Char('\n'), 0, 0));
            for (const QString &name : tip.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                QVERIFY2(namerule::CheckName(name.toStdString()) == namerule::NameFault::None,
                         qPrintable(ip));
            const QString kind = rogues.value(ip).first;
            if (kind == QStringLiteral("markup")) {
                ++markup;
                QCOMPARE(tip, MarkupName);
                window.show();
                QVERIFY(QTest::qWaitForWindowExposed(&window));
                QLabel *shown = HoverToolTip(table, table->model()->index(row, 1));
                QVERIFY(shown);
                QCOMPARE(ToolTipShows(shown->text()), (QStringList{MarkupName} + ipv6).join('\n'));
                const QFontMetrics metrics(shown->font());
                QVERIFY(shown->width() < metrics.horizontalAdvance(MarkupName) + 60 &&
                        shown->height() < int(4 + ipv6.size()) * metrics.lineSpacing());
            } else if (!kind.isEmpty() || spoofed.contains(ip)) {
                QCOMPARE(tip, hosts.value(ip).label); // no spoofed, refused or wrong-id name
            }
        }
        QCOMPARE(markup, 1);
        // Every host but this machine shows its IPv6 addresses.
        QCOMPARE(withIpv6, table->rowCount() - 1);

        // The markup host was away when its network was first recorded: its
        // card is new, told on the test's session bus, and first seen now.
        const QString notices = qEnvironmentVariable("TRELVAN_LAN_NOTICES");
        if (!notices.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(notices).size() > 0, 5000);
        // Its row is marked new for a minute, above that line.
        for (int row = 0; row < table->rowCount(); ++row) {
            const QString ip = table->item(row, 1)->text();
            QStringList tip = ToolTipShows(table->item(row, 2)->toolTip()).split(QLatin1Char('\n'));
            if (rogues.value(ip).first == QStringLiteral("markup"))
                QCOMPARE(tip.takeFirst(), QStringLiteral("Nouvel appareil"));
            QVERIFY2(tip.join(QLatin1Char('\n'))
                         .startsWith(QStringLiteral("Vu pour la première fois le ")),
                     qPrintable(ip));
        }
    }

    // As an ordinary user with the helper, while another process holds the
    // interface's sending lock (any process may take it): the helper cannot
    // send within its patience and says so, that scan goes to the kernel's
    // table, one line says why, and every host is listed all the same.
    void heldInterfaceStillListsEveryHost()
    {
        if (!platform::linuxarp::HelperServes())
            QSKIP("needs the resolver helper serving this program");
        auto lock = std::make_unique<helper::AbstractLock>(
            helper::SendingLockName(env["IFACE"].toStdString()));
        QVERIFY(lock->TryTake());
        MessageLog::clear();
        {
            TrelvanWindow window;
            TrelvanWindowUi &ui = WindowInspector::ui(window);
            QTRY_VERIFY_WITH_TIMEOUT(
                ui.Status_->text().startsWith(QStringLiteral("Fin de recherche")), 40000);
            QTRY_VERIFY_WITH_TIMEOUT(ui.Hosts_->rowCount() > 0, 2000);
            const auto rows = TableRows(ui.Hosts_);
            const QMap<QString, LanHost> hosts = LanHosts();
            for (auto host = hosts.begin(); host != hosts.end(); ++host)
                QVERIFY2(rows.value(host.key()).first == host->mac, qPrintable(host.key()));
        }
        lock.reset();
        QCOMPARE(MessageLog::lines().filter(HeldBackLine).size(), 1);
        QVERIFY(platform::linuxarp::HelperServes());
    }

    // Runs after a scan through the helper (the wrapper's "helper" mode: an
    // ordinary user, the build tree's own helper with CAP_NET_RAW).
    void helperRunsWithoutPrivilegeAndNeverOutlivesTheProgram()
    {
        std::string why;
        if (!platform::linuxarp::OpenGenuineHelper(
                 platform::linuxarp::HelperPlace(platform::linuxarp::ProgramPath()), &why)
                 .valid())
            QSKIP(qPrintable(QStringLiteral("no resolver helper this program may start: %1")
                                 .arg(QString::fromStdString(why))));
        const qint64 self = QCoreApplication::applicationPid();
        const qint64 helper = HelperOf(self);
        QVERIFY2(helper > 0, "no resolver helper serves");
        QVERIFY(!MessageLog::lines().contains(HelperEndedLine));

        // Neither process holds a capability once the helper serves.
        for (const qint64 pid : {helper, self}) {
            const QMap<QString, QString> status = ProcStatus(pid);
            for (const char *set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
                QVERIFY2(status.value(QLatin1String(set)) == QStringLiteral("0000000000000000"),
                         qPrintable(QStringLiteral("%1 of %2: %3")
                                        .arg(QLatin1String(set))
                                        .arg(pid)
                                        .arg(status.value(QLatin1String(set)))));
        }
        QCOMPARE(ProcStatus(helper).value(QStringLiteral("NoNewPrivs")), QStringLiteral("1"));
        // Nor may this user open a ping socket: the scans' echoes, and so
        // their hosts' IPv6 addresses, came through the helper, which sends
        // one only by the interface of the scanner's own address.
        if (env["IPV6"] == QStringLiteral("1")) {
            using platform::linuxarp::FileDescriptor;
            QVERIFY(!FileDescriptor(::socket(AF_INET6, SOCK_DGRAM, IPPROTO_ICMPV6)).valid());
            const auto address = [](const QString &ip) {
                return qToBigEndian(QHostAddress(ip).toIPv4Address());
            };
            QVERIFY(platform::linuxarp::HelperEchoAllNodes(address(env["SCANNER_IP"])));
            QVERIFY(!platform::linuxarp::HelperEchoAllNodes(address(LanHosts().firstKey())));
        }
        // Confined to the calls it serves with, and closed to its own user
        // even where set-id programs may be inspected (the wrapper sets
        // fs.suid_dumpable to 1 for this run).
        QCOMPARE(ProcStatus(helper).value(QStringLiteral("Seccomp")), QStringLiteral("2"));
        QFile memory(QStringLiteral("/proc/%1/mem").arg(helper));
        QCOMPARE(QFileInfo(memory).ownerId(), 0u);
        QVERIFY(!memory.open(QIODevice::ReadOnly));

        // Killing the helper mid-scan: the next scan still finds every host,
        // through the neighbour table, and the change is said once.
        {
            TrelvanWindow window;
            TrelvanWindowUi &ui = WindowInspector::ui(window);
            QTest::qWait(300);
            QVERIFY(ui.Status_->text().startsWith(QStringLiteral("Début de recherche")));
            QCOMPARE(::kill(static_cast<pid_t>(helper), SIGKILL), 0);
            const QString end = QStringLiteral("Fin de recherche %1 à ").arg(env["SCANNER_IP"]);
            QTRY_VERIFY_WITH_TIMEOUT(ui.Status_->text().startsWith(end), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(!ui.Status_->text().startsWith(end), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(ui.Status_->text().startsWith(end), 30000);
            QTRY_VERIFY_WITH_TIMEOUT(ui.Hosts_->rowCount() > 0, 2000);
            const auto rows = TableRows(ui.Hosts_);
            const QMap<QString, LanHost> hosts = LanHosts();
            for (auto host = hosts.begin(); host != hosts.end(); ++host)
                QVERIFY2(rows.value(host.key()).first == host->mac, qPrintable(host.key()));
            QCOMPARE(MessageLog::lines().count(HelperEndedLine), 1);
        }

        // A program that ends, here a second run of this test's scan, leaves
        // no helper behind. In a third, the helper stops answering early in
        // the scan (it is stopped): that costs the scan no more than the
        // client's deadline for a reply, the kernel's table finds every host
        // all the same, and the helper is ended, with one line saying why.
        qint64 normalMs = 0;
        for (const bool stopped : {false, true}) {
            QTemporaryDir logs;
            const QString logPath = logs.filePath(QStringLiteral("debug.log"));
            QProcess program;
            program.setProcessChannelMode(QProcess::ForwardedChannels);
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TRELVAN_LAN_LOG"), logPath);
            program.setProcessEnvironment(environment);
            QElapsedTimer timer;
            timer.start();
            program.start(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("scanFindsExactlyTheHostsPresent")});
            QVERIFY(program.waitForStarted());
            qint64 itsHelper = 0;
            QTRY_VERIFY_WITH_TIMEOUT((itsHelper = HelperOf(program.processId())) > 0, 20000);
            const QByteArray started = StartTime(itsHelper);
            if (stopped)
                QCOMPARE(::kill(static_cast<pid_t>(itsHelper), SIGSTOP), 0);
            QVERIFY(program.waitForFinished(120000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(StartTime(itsHelper) != started, 3000);
            QFile lines(logPath);
            QVERIFY(lines.open(QIODevice::ReadOnly));
            const int said = int(QString::fromUtf8(lines.readAll()).count(HelperStoppedLine));
            if (!stopped) {
                normalMs = timer.elapsed();
                QCOMPARE(said, 0);
                continue;
            }
            const qint64 cost = timer.elapsed() - normalMs;
            const qint64 deadline =
                std::chrono::milliseconds(platform::linuxarp::kHelperReplyDeadline).count();
            qInfo("a stopped helper cost the scan %lld ms (deadline %lld ms)", cost, deadline);
            QVERIFY2(cost < deadline + 3000, qPrintable(QString::number(cost)));
            QCOMPARE(said, 1);
        }

        // A copy of the program in a folder anyone may write starts no
        // helper: neither one planted beside it, nor one where an installed
        // program's helper would be in that folder's parent. The kernel's
        // table resolves, and one line says why.
        QTemporaryDir drop(QDir::tempPath() + QStringLiteral("/trelvan-planted-XXXXXX"));
        QVERIFY(QDir(drop.path()).mkpath(QStringLiteral("bin")));
        QVERIFY(QDir(drop.path()).mkpath(QStringLiteral("libexec/trelvan")));
        const QString marker = drop.filePath(QStringLiteral("started"));
        for (const char *place : {"bin/trelvan-resolver", "libexec/trelvan/trelvan-resolver"}) {
            QFile planted(drop.filePath(QLatin1String(place)));
            QVERIFY(planted.open(QIODevice::WriteOnly));
            planted.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
            planted.close();
            QVERIFY(planted.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadOther | QFile::ExeOther));
        }
        const QString copy = drop.filePath(QStringLiteral("bin/tst_lan"));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
        QVERIFY(QFile(copy).setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        const QString logPath = drop.filePath(QStringLiteral("debug.log"));
        QProcess planted;
        planted.setProcessChannelMode(QProcess::ForwardedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TRELVAN_LAN_LOG"), logPath);
        planted.setProcessEnvironment(environment);
        planted.start(copy, {QStringLiteral("scanFindsExactlyTheHostsPresent")});
        QVERIFY(planted.waitForFinished(120000));
        QCOMPARE(planted.exitCode(), 0);
        QVERIFY(!QFile::exists(marker));
        QFile lines(logPath);
        QVERIFY(lines.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(lines.readAll()).count(NoHelperLine), 1);
    }

    // One identification round on the LAN, as the engine asks it of every
    // host: each host that says what it is gives its type, model and
    // evidence; the hostile ones give nothing, or plain text.
    void devicesSayWhatTheyAre()
    {
        using namespace identify;
        const auto says = LanRogues(QStringLiteral("says"));
        if (says.isEmpty())
            QSKIP("needs a LAN with hosts that say what they are (tests/lan/lister-test.sh)");
        Ipv4Network network;
        network.ip = QHostAddress(env.value(QStringLiteral("SCANNER_IP")));
        network.netmask = QHostAddress(env.value(QStringLiteral("NETMASK")));
        network.interfaceName = env.value(QStringLiteral("IFACE"));
        const QMap<QString, LanHost> hosts = LanHosts();
        std::vector<Target> targets;
        for (auto host = hosts.cbegin(); host != hosts.cend(); ++host)
            targets.push_back({qToBigEndian(QHostAddress(host.key()).toIPv4Address()),
                               {},
                               host->web == QStringLiteral("yes"),
                               host->web == QStringLiteral("https"),
                               true});
        const std::unique_ptr<Asker> asker = MakeNetworkAsker();
        QSignalSpy finished(asker.get(), &Asker::Finished);
        QElapsedTimer round;
        round.start();
        asker->Start(network, targets);
        QVERIFY(finished.wait(kRoundDeadlineMs + 1000));
        QVERIFY2(round.elapsed() <= kRoundDeadlineMs + 300,
                 qPrintable(QString::number(round.elapsed())));
        const auto found = finished.at(0).at(1).value<FindingsMap>();
        const auto of = [&found](const QString &ip) {
            return found.count(qToBigEndian(QHostAddress(ip).toIPv4Address()))
                       ? found.at(qToBigEndian(QHostAddress(ip).toIPv4Address()))
                       : Findings();
        };
        for (const auto &[key, said] : found) {
            const Identity identity = Identify(said);
            QStringList evidence;
            for (const Evidence &one : identity.evidence)
                evidence << one.source + QLatin1Char(' ') + one.detail;
            qInfo("%s: %s, %s, \"%s\" (%s) page \"%s\" \"%s\"",
                  qPrintable(QHostAddress(qFromBigEndian(key)).toString()), TypeKey(identity.type),
                  qPrintable(identity.model), qPrintable(identity.friendlyName),
                  qPrintable(evidence.join(QStringLiteral("; "))), qPrintable(said.page.title),
                  qPrintable(said.page.certificateName));
        }
        for (auto host = says.cbegin(); host != says.cend(); ++host) {
            const QString &kind = host->first;
            const Findings said = of(host.key());
            const Identity identity = Identify(said);
            const QByteArray ipText = host.key().toUtf8();
            const char *ip = ipText.constData();
            if (kind == QStringLiteral("printer")) {
                QCOMPARE(identity.type, DeviceType::Printer);
                QCOMPARE(identity.model, QStringLiteral("HP OfficeJet Pro 9010"));
                QCOMPARE(said.dnssd.services.value(0).instance,
                         QStringLiteral("Imprimante bureau"));
                QVERIFY2(of(says.key(qMakePair(QStringLiteral("mdns-other"), host.key())))
                             .dnssd.isEmpty(),
                         ip);
            } else if (kind == QStringLiteral("cast")) {
                QCOMPARE(identity.type, DeviceType::MediaPlayer);
                QCOMPARE(identity.model, QStringLiteral("Chromecast Ultra"));
                QCOMPARE(identity.friendlyName, QStringLiteral("Télé du salon"));
            } else if (kind == QStringLiteral("nas")) {
                QCOMPARE(identity.type, DeviceType::Nas);
                QCOMPARE(identity.services, QStringList{QStringLiteral("_smb._tcp")});
            } else if (kind == QStringLiteral("renderer") || kind == QStringLiteral("markup")) {
                QCOMPARE(said.upnp.modelName, QStringLiteral("Lecteur R1"));
                QCOMPARE(said.upnp.deviceType,
                         QStringLiteral("urn:schemas-upnp-org:device:MediaRenderer:1"));
                QCOMPARE(said.upnp.friendlyName, kind == QStringLiteral("markup")
                                                     ? QStringLiteral("<b>Salon</b>")
                                                     : QStringLiteral("Salon"));
                QVERIFY2(identity.type != DeviceType::Unknown, ip);
            } else {
                // oversized, dtd, elsewhere, mdns-other: nothing of theirs.
                QVERIFY2(said.upnp.isEmpty() && said.dnssd.isEmpty(), ip);
            }
        }
        // A LOCATION on another host is never fetched on the word of another.
        for (const QString &name :
             QDir(LanDir() + QStringLiteral("/log")).entryList({"says-*.log"})) {
            QFile answered(LanDir() + QStringLiteral("/log/") + name);
            QVERIFY(answered.open(QIODevice::ReadOnly));
            QVERIFY2(!answered.readAll().contains("GET /trap.xml"), qPrintable(name));
        }
        // Every web host's page: its title, and over TLS its certificate's name.
        for (auto host = hosts.cbegin(); host != hosts.cend(); ++host)
            if (host->web == QStringLiteral("yes") || host->web == QStringLiteral("https")) {
                const web::PageHead page = of(host.key()).page;
                QCOMPARE(page.title, host->label);
                if (host->web == QStringLiteral("https"))
                    QVERIFY2(page.certificateName.startsWith(QStringLiteral("Trelvan test LAN")),
                             qPrintable(page.certificateName));
            }
    }

    // For a run of this program that another one started: its debug output.
    void cleanupTestCase()
    {
        const QString path = qEnvironmentVariable("TRELVAN_LAN_LOG");
        QFile file(path);
        if (!path.isEmpty() && log && file.open(QIODevice::WriteOnly))
            file.write(MessageLog::lines().join(QLatin1Char('\n')).toUtf8());
    }

    // Two helpers started directly, as any user may, and flooded with
    // requests for every address of the LAN, together put at most 5,000 ARP
    // frames a second on the wire, as tcpdump counts them in the scanner's
    // namespace; each still has its turns and finds the hosts.
    void helpersTogetherKeepToTheFrameBudget()
    {
        using namespace platform::resolver;
        const QString capture = qEnvironmentVariable("TRELVAN_LAN_CAPTURE");
        const QString path = qEnvironmentVariable("TRELVAN_LAN_RESOLVER");
        if (capture.isEmpty() || path.isEmpty())
            QSKIP("needs the helper with CAP_NET_RAW and a capture of the LAN");
        const quint32 network = QHostAddress(env["NETWORK"]).toIPv4Address();
        const quint32 broadcast = QHostAddress(env["BROADCAST"]).toIPv4Address();

        QProcess helpers[2];
        QByteArray replies[2];
        int waiting[2] = {}, next[2] = {};
        QMap<quint32, QString> found[2]; // address in network order -> MAC text
        for (QProcess &helper : helpers) {
            helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            helper.start(path, {});
            QVERIFY(helper.waitForStarted());
        }
        const double from = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
        QElapsedTimer flood;
        flood.start();
        while (flood.elapsed() < 5000) {
            for (int which = 0; which < 2; ++which) {
                for (; waiting[which] < 2000; ++waiting[which]) {
                    const quint32 host =
                        network + 1 + quint32(next[which]++) % (broadcast - network - 1);
                    const RequestBytes bytes = EncodeRequest({quint32(next[which]), htonl(host)});
                    helpers[which].write(reinterpret_cast<const char *>(bytes.data()),
                                         bytes.size());
                }
                helpers[which].waitForReadyRead(5);
                replies[which] += helpers[which].readAllStandardOutput();
                for (; replies[which].size() >= qsizetype(kReplySize); --waiting[which]) {
                    Reply reply;
                    QVERIFY(DecodeReply(reinterpret_cast<const uint8_t *>(replies[which].data()),
                                        kReplySize, &reply));
                    if (reply.answered)
                        found[which][reply.address] =
                            QByteArray(reinterpret_cast<const char *>(reply.mac.data()), 6)
                                .toHex(':')
                                .toUpper();
                    replies[which].remove(0, kReplySize);
                }
            }
        }
        const double to = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;

        const QMap<QString, LanHost> hosts = LanHosts();
        for (int which = 0; which < 2; ++which) {
            QCOMPARE(helpers[which].state(), QProcess::Running);
            for (auto host = hosts.begin(); host != hosts.end(); ++host)
                QCOMPARE(found[which].value(htonl(QHostAddress(host.key()).toIPv4Address())),
                         host->mac);
            // The end of its input ends it.
            helpers[which].closeWriteChannel();
            QVERIFY(helpers[which].waitForFinished(5000));
            QCOMPARE(helpers[which].exitCode(), 0);
        }
        QTest::qWait(500); // the capture's last lines
        const int busiest = BusiestSecond(capture, from, to);
        qInfo("busiest second of the flood: %d ARP frames", busiest);
        QVERIFY(busiest <= 5000);
        // The flood did press on the limit: below it, the test proves nothing.
        QVERIFY(busiest >= 3000);
    }

    void closingDuringAScanEndsCleanly()
    {
        QElapsedTimer sinceClose;
        {
            auto window = std::make_unique<TrelvanWindow>();
            QVERIFY(WindowInspector::checker(*window));
            QTimer::singleShot(500, window.get(), [&window] { window->close(); });
            QCOMPARE(window->exec(), 0);
            sinceClose.start();
            QVERIFY(WindowInspector::checker(*window) &&
                    !WindowInspector::checker(*window)->isFinished());
            window.reset();
        }
        const qint64 elapsed = sinceClose.elapsed();
        QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
    }
};

QTEST_MAIN(TestLan)
#include "tst_lan.moc"
