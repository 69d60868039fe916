#include "lister/lister.h"

#include "network/networklist.h"
#include "results/hosttext.h"
#include "scan/checkthread.h"
#include "scan/scanreceiver.h"
#include "trelvanversion.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace lister {

namespace {

constexpr int ScanPeriodMs = 10000;
constexpr int PollMs = 100;
// After SIGINT or SIGTERM a scan under way gets this long to finish.
constexpr int StopGraceMs = 2500;
const QString Me = QStringLiteral("trelvan-list");

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int)
{
    stopRequested = true;
}

bool Write(std::FILE *file, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file);
    return std::fflush(file) == 0 && !std::ferror(file);
}

void Complain(std::FILE *err, const QString &message)
{
    Write(err, QStringLiteral("%1\u00a0: %2\n").arg(Me, message));
}

#ifdef Q_OS_WIN
bool IsTerminal(std::FILE *file)
{
    return ::_isatty(::_fileno(file)) != 0;
}

// Windows tells only at the next write.
bool OutputClosed(std::FILE *)
{
    return false;
}
#else
bool IsTerminal(std::FILE *file)
{
    return ::isatty(fileno(file)) == 1;
}

// A pipe whose reader has gone reports an error to poll() on our end.
bool OutputClosed(std::FILE *file)
{
    pollfd fd{fileno(file), 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP)) != 0;
}
#endif

QString Quoted(const QString &text)
{
    return QStringLiteral("«\u00a0%1\u00a0»").arg(text);
}

// The one place the lister looks a maker up: the same lookup as the window's
// maker column, without the blanks some listings pad names with.
QString MakerOf(const std::vector<unsigned char> &mac, const MakerIndex &makers)
{
    return LookupMaker(makers, mac).name.trimmed();
}

int PrefixLength(quint32 mask)
{
    int length = 0;
    while (length < 32 && (mask & (0x80000000u >> length)))
        ++length;
    return length;
}

QString CidrText(const NetworkAddress &network)
{
    return QStringLiteral("%1/%2")
        .arg(network.ip.toString())
        .arg(PrefixLength(network.netmask.toIPv4Address()));
}

QString NetworksText(const QList<NetworkAddress> &networks)
{
    QStringList texts;
    for (const NetworkAddress &network : networks)
        texts.append(network.interfaceName.isEmpty()
                         ? CidrText(network)
                         : QStringLiteral("%1 (%2)").arg(CidrText(network), network.interfaceName));
    return texts.join(QStringLiteral(", "));
}

NetworkChoice Refuse(const QString &message, ExitStatus status = UsageError)
{
    NetworkChoice choice;
    choice.error = message;
    choice.status = status;
    return choice;
}

NetworkChoice Chosen(const NetworkAddress &network)
{
    NetworkChoice choice;
    choice.address = network.ip;
    choice.netmask = network.netmask;
    return choice;
}

bool ParseIPv4(const QString &text, quint32 &value)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = dotted.match(text);
    if (!match.hasMatch())
        return false;
    value = 0;
    for (int i = 1; i <= 4; ++i) {
        const uint octet = match.captured(i).toUInt();
        if (octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    return true;
}

// Every address of the network, broadcast included: what CheckThread
// measures against MaxAddresses.
quint64 AddressCount(quint32 mask)
{
    return quint64(~mask) + 1;
}

class ListReceiver : public ScanReceiver
{
public:
    explicit ListReceiver(std::FILE *progress) : progress(progress) {}

    void SetPendingStatus(const QString &text) override
    {
        QMutexLocker locker(&mutex);
        if (progress)
            Write(progress, QStringLiteral("\r\x1b[K%1").arg(text));
    }
    void PublishHosts(const HostMap &answers) override
    {
        QMutexLocker locker(&mutex);
        hosts = answers;
        published = true;
    }
    // Clears the progress line.
    void Done()
    {
        QMutexLocker locker(&mutex);
        if (progress)
            Write(progress, QStringLiteral("\r\x1b[K"));
    }

    QMutex mutex;
    std::FILE *progress;
    HostMap hosts;
    bool published = false;
};

enum class ScanOutcome
{
    Done,
    Failed,
    Stopped,   // a signal came and the scan finished in time
    Abandoned, // a signal came and the scan is still running
};

// One scan with the window's engine. A stop signal lets it start no more
// probes and gives those running StopGraceMs to end.
ScanOutcome Scan(const NetworkChoice &network, std::FILE *progress, HostMap &hosts)
{
    auto receiver = std::make_unique<ListReceiver>(progress);
    auto checker = std::make_unique<CheckThread>(receiver.get(), network.address, network.netmask);
    checker->start(QThread::InheritPriority);
    QElapsedTimer sinceStop;
    while (!checker->wait(PollMs)) {
        if (!stopRequested)
            continue;
        if (!sinceStop.isValid()) {
            checker->Stop();
            sinceStop.start();
        } else if (sinceStop.elapsed() >= StopGraceMs) {
            // The thread writes into the receiver until it ends: neither
            // may go. The process ends without waiting for it.
            checker.release();
            receiver.release();
            return ScanOutcome::Abandoned;
        }
    }
    receiver->Done();
    if (stopRequested)
        return ScanOutcome::Stopped;
    QMutexLocker locker(&receiver->mutex);
    if (!receiver->published)
        return ScanOutcome::Failed;
    hosts = receiver->hosts;
    return ScanOutcome::Done;
}

QString HelpText()
{
    return QStringLiteral(
        "Usage\u00a0: trelvan-list [options] [RÉSEAU]\n"
        "Liste les machines présentes sur un réseau local de cette machine\u00a0: adresse IP,\n"
        "adresse MAC, fabricant, serveur web sur le port 80, nom et commentaire saisi dans\n"
        "Trelvan.\n"
        "\n"
        "RÉSEAU, l'un des réseaux de cette machine\u00a0:\n"
        "  eth0                           une interface (son premier réseau IPv4)\n"
        "  192.168.1.10/24                ADRESSE/PRÉFIXE\n"
        "  \"192.168.1.10 / 255.255.255.0\" le texte du choix de réseau de Trelvan\n"
        "Sans RÉSEAU\u00a0: le premier réseau que propose la fenêtre de Trelvan.\n"
        "\n"
        "Options\u00a0:\n"
        "  --format texte|csv|json  format de la liste (texte par défaut, un tableau aligné)\n"
        "  --suivre                 parcourt le réseau toutes les dix secondes et écrit chaque\n"
        "                           changement (arrivée, départ, autre adresse MAC) sur une\n"
        "                           ligne JSON\n"
        "  -h, --help               affiche cette aide\n"
        "  -v, --version            affiche la version\n"
        "\n"
        "Codes de sortie\u00a0: 0 réussite, 1 parcours impossible, 2 erreur d'utilisation.\n");
}

QJsonObject EventJson(const Watch::Event &event, const CommentMap &comments,
                      const MakerIndex &makers)
{
    HostMap one{{event.key, event.record}};
    QJsonObject object = ToJson(ListHosts(one, comments, makers).front());
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc());
    object.insert(QStringLiteral("time"), now.toString(Qt::ISODate));
    object.insert(QStringLiteral("event"), event.kind);
    if (event.kind == QLatin1String("mac-changed"))
        object.insert(QStringLiteral("previous_mac"), MacToText(event.previousMac));
    return object;
}

int RunWatch(const NetworkChoice &network, const MakerIndex &makers, std::FILE *out,
             std::FILE *progress, bool *abandoned)
{
    Watch watch;
    QElapsedTimer sinceStart;
    for (;;) {
        sinceStart.start();
        HostMap hosts;
        switch (Scan(network, progress, hosts)) {
        case ScanOutcome::Done:
            break;
        case ScanOutcome::Failed:
            return ScanFailed;
        case ScanOutcome::Stopped:
            return Success;
        case ScanOutcome::Abandoned:
            if (abandoned)
                *abandoned = true;
            return Success;
        }
        CommentMap comments; // read again each time: the window may have saved
        LoadComments(comments);
        for (const Watch::Event &event : watch.Update(hosts)) {
            const QByteArray line =
                QJsonDocument(EventJson(event, comments, makers)).toJson(QJsonDocument::Compact);
            if (!Write(out, QString::fromUtf8(line) + QLatin1Char('\n')))
                return Success; // nobody reads any more
        }
        while (sinceStart.elapsed() < ScanPeriodMs) {
            if (stopRequested || OutputClosed(out))
                return Success;
            QThread::msleep(PollMs);
        }
    }
}

} // namespace

std::vector<ListedHost> ListHosts(const HostMap &hosts, const CommentMap &comments,
                                  const MakerIndex &makers)
{
    // The map's keys are addresses in network byte order, so its own order
    // puts 198.51.101.1 before 198.51.100.9; the list goes by address.
    std::vector<std::pair<quint32, HostMap::const_iterator>> ordered;
    ordered.reserve(hosts.size());
    for (auto entry = hosts.begin(); entry != hosts.end(); ++entry)
        ordered.emplace_back(qFromBigEndian(entry->first), entry);
    std::sort(ordered.begin(), ordered.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });

    std::vector<ListedHost> listed;
    listed.reserve(hosts.size());
    for (const auto &[address, entry] : ordered) {
        const quint32 key = entry->first;
        const HostRecord &record = entry->second;
        ListedHost host;
        host.ip = AddressText(key);
        host.mac = MacToText(record.mac);
        const auto comment = comments.find(host.mac);
        if (comment != comments.end())
            host.comment = comment->second;
        host.maker = MakerOf(record.mac, makers);
        host.web = record.webServer;
        host.name = record.name;
        listed.push_back(host);
    }
    return listed;
}

QString FormatText(const std::vector<ListedHost> &hosts, bool terminal)
{
    std::vector<QStringList> rows;
    rows.push_back({QStringLiteral("Commentaire"), QStringLiteral("Adresse IP"),
                    QStringLiteral("Adresse MAC"), QStringLiteral("Fabricant"),
                    QStringLiteral("Site web ?"), QStringLiteral("Nom")});
    for (const ListedHost &host : hosts) {
        // A comment may hold line breaks; a table row may not.
        QString comment = host.comment;
        comment.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
        rows.push_back({comment, host.ip, host.mac, host.maker,
                        host.web ? QStringLiteral("oui") : QStringLiteral("non"), host.name});
    }
    std::vector<int> widths(rows.front().size(), 0);
    for (const QStringList &row : rows)
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));

    QString text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QString line;
        for (int column = 0; column < rows[i].size(); ++column) {
            if (column > 0)
                line += QStringLiteral("  ");
            line += rows[i][column].leftJustified(widths[column]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        if (i == 0 && terminal)
            line = QStringLiteral("\x1b[1m%1\x1b[0m").arg(line);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString FormatCsv(const std::vector<ListedHost> &hosts)
{
    const auto field = [](const QString &value) {
        static const QRegularExpression special(QStringLiteral("[\",\\r\\n]"));
        if (!value.contains(special))
            return value;
        QString quoted = value;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        return QStringLiteral("\"%1\"").arg(quoted);
    };
    QString text = QStringLiteral("comment,ip,mac,maker,web,name\r\n");
    for (const ListedHost &host : hosts)
        text += QStringList{field(host.comment),
                            host.ip,
                            host.mac,
                            field(host.maker),
                            host.web ? QStringLiteral("true") : QStringLiteral("false"),
                            field(host.name)}
                    .join(QLatin1Char(',')) +
                QStringLiteral("\r\n");
    return text;
}

QJsonObject ToJson(const ListedHost &host)
{
    return QJsonObject{
        {QStringLiteral("comment"), host.comment}, {QStringLiteral("ip"), host.ip},
        {QStringLiteral("mac"), host.mac},         {QStringLiteral("maker"), host.maker},
        {QStringLiteral("web"), host.web},         {QStringLiteral("name"), host.name}};
}

QString FormatJson(const std::vector<ListedHost> &hosts)
{
    QJsonArray array;
    for (const ListedHost &host : hosts)
        array.append(ToJson(host));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

NetworkChoice ChooseNetwork(const QString &argument)
{
    const QList<NetworkAddress> networks = ScannableNetworks();
    const auto notFound = [&networks](const QString &message) {
        if (networks.isEmpty())
            return Refuse(QStringLiteral("cette machine n'a aucun réseau IPv4 à parcourir."),
                          ScanFailed);
        return Refuse(QStringLiteral("%1\u00a0; réseaux possibles\u00a0: %2.")
                          .arg(message, NetworksText(networks)));
    };
    const QString unreadable = QStringLiteral(
        "réseau illisible %1\u00a0; attendu une interface (eth0), ADRESSE/PRÉFIXE "
        "(192.168.1.10/24) ou «\u00a0ADRESSE / MASQUE\u00a0» (192.168.1.10 / 255.255.255.0).");

    const QString text = argument.simplified();
    if (text.isEmpty()) {
        if (networks.isEmpty())
            return notFound(QString());
        return Chosen(networks.front());
    }

    const int slash = text.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        static const QRegularExpression interfaceName(QStringLiteral("^[A-Za-z0-9_.:@-]{1,15}$"));
        quint32 bareAddress = 0;
        if (!interfaceName.match(text).hasMatch() || ParseIPv4(text, bareAddress))
            return Refuse(unreadable.arg(Quoted(argument)));
        for (const NetworkAddress &network : networks)
            if (network.interfaceName == text)
                return Chosen(network);
        return notFound(
            QStringLiteral("interface inconnue ou sans réseau IPv4 %1").arg(Quoted(text)));
    }

    const QString addressText = text.left(slash).trimmed();
    const QString maskText = text.mid(slash + 1).trimmed();
    quint32 address = 0, mask = 0;
    bool readable = ParseIPv4(addressText, address);
    if (readable && maskText.contains(QLatin1Char('.'))) {
        // A mask is ones, then zeros.
        readable = ParseIPv4(maskText, mask) && (~mask & (~mask + 1)) == 0;
    } else if (readable) {
        static const QRegularExpression digits(QStringLiteral("^\\d{1,2}$"));
        const int prefix = maskText.toInt();
        readable = digits.match(maskText).hasMatch() && prefix <= 32;
        mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    }
    if (!readable)
        return Refuse(unreadable.arg(Quoted(argument)));

    for (const NetworkAddress &network : networks) {
        const quint32 ip = network.ip.toIPv4Address();
        if (network.netmask.toIPv4Address() != mask || (address != ip && address != (ip & mask)))
            continue;
        if (AddressCount(mask) > CheckThread::MaxAddresses)
            return Refuse(QStringLiteral("le réseau %1 compte %2 adresses, plus que les %3 que "
                                         "Trelvan parcourt.")
                              .arg(CidrText(network))
                              .arg(AddressCount(mask))
                              .arg(CheckThread::MaxAddresses));
        return Chosen(network);
    }
    return notFound(
        QStringLiteral("%1 n'est pas un réseau de cette machine").arg(Quoted(argument)));
}

std::vector<Watch::Event> Watch::Update(const HostMap &scan)
{
    std::vector<Event> events;
    for (const auto &[key, record] : scan) {
        const auto found = known.find(key);
        if (found == known.end()) {
            events.push_back({QStringLiteral("appeared"), key, record, {}});
            known[key] = Known{record, 0};
            continue;
        }
        if (found->second.record.mac != record.mac)
            events.push_back(
                {QStringLiteral("mac-changed"), key, record, found->second.record.mac});
        found->second = Known{record, 0};
    }
    for (auto host = known.begin(); host != known.end();) {
        if (scan.count(host->first) || ++host->second.misses < 2) {
            ++host;
            continue;
        }
        events.push_back({QStringLiteral("left"), host->first, host->second.record, {}});
        host = known.erase(host);
    }
    return events;
}

int Run(const QStringList &arguments, std::FILE *out, std::FILE *err, bool *abandoned)
{
    QCommandLineParser parser;
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("format de la liste"),
                                          QStringLiteral("format"), QStringLiteral("texte"));
    const QCommandLineOption watchOption(QStringLiteral("suivre"),
                                         QStringLiteral("écrit chaque changement"));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("affiche cette aide"));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("affiche la version"));
    parser.addOptions({formatOption, watchOption, helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("RÉSEAU"), QStringLiteral("le réseau à parcourir"));
    const QString seeHelp = QStringLiteral(" (trelvan-list --help)");

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        Complain(err, unknown.isEmpty()
                          ? QStringLiteral("il manque le format après --format (texte, csv ou "
                                           "json).")
                          : QStringLiteral("option inconnue %1%2")
                                .arg(Quoted(QLatin1String(unknown.front().size() > 1 ? "--" : "-") +
                                            unknown.front()),
                                     seeHelp));
        return UsageError;
    }
    if (parser.isSet(helpOption))
        return Write(out, HelpText()) ? Success : ScanFailed;
    if (parser.isSet(versionOption))
        return Write(out, QStringLiteral("trelvan-list %1\n").arg(QStringLiteral(TRELVAN_VERSION)))
                   ? Success
                   : ScanFailed;

    const QString format = parser.value(formatOption);
    if (format != QLatin1String("texte") && format != QLatin1String("csv") &&
        format != QLatin1String("json")) {
        Complain(err,
                 QStringLiteral("format inconnu %1 (texte, csv ou json).").arg(Quoted(format)));
        return UsageError;
    }
    QStringList positional = parser.positionalArguments();
    // The picker's text given unquoted: three words around the slash.
    if (positional.size() == 3 && positional[1] == QLatin1String("/"))
        positional = QStringList{positional.join(QLatin1Char(' '))};
    if (positional.size() > 1) {
        Complain(err, QStringLiteral("un seul réseau à la fois%1").arg(seeHelp));
        return UsageError;
    }

    const NetworkChoice network = ChooseNetwork(positional.value(0));
    if (network.status != Success) {
        Complain(err, network.error);
        return network.status;
    }

    MakerIndex makers;
    LoadMakers(makers);
    std::FILE *progress = IsTerminal(err) ? err : nullptr;

    if (parser.isSet(watchOption)) {
        stopRequested = false;
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
#ifdef SIGPIPE
        // A closed pipe shows as a failed write, not as a signal.
        std::signal(SIGPIPE, SIG_IGN);
#endif
        return RunWatch(network, makers, out, progress, abandoned);
    }

    HostMap hosts;
    switch (Scan(network, progress, hosts)) {
    case ScanOutcome::Done:
        break;
    case ScanOutcome::Abandoned:
        if (abandoned)
            *abandoned = true;
        [[fallthrough]];
    case ScanOutcome::Failed:
    case ScanOutcome::Stopped:
        Complain(err, QStringLiteral("le parcours de %1 n'a pas abouti.")
                          .arg(NetworkEntryText(network.address, network.netmask)));
        return ScanFailed;
    }
    CommentMap comments;
    LoadComments(comments);
    const std::vector<ListedHost> listed = ListHosts(hosts, comments, makers);
    const QString text = format == QLatin1String("csv")    ? FormatCsv(listed)
                         : format == QLatin1String("json") ? FormatJson(listed)
                                                           : FormatText(listed, IsTerminal(out));
    return Write(out, text) ? Success : ScanFailed;
}

} // namespace lister
