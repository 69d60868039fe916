#pragma once

#include "makers/makerlookup.h"
#include "results/commentstore.h"
#include "scan/hostrecord.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <map>
#include <vector>

// trelvan-list: the window's scan without the window, for scripts and
// monitoring. Everything but main is here, so that the tests run it
// in-process with the fake interfaces and address resolution.

namespace lister {

enum ExitStatus
{
    Success = 0,
    ScanFailed = 1,
    UsageError = 2
};

// One row of the list: what the window shows of a host, and its name.
struct ListedHost
{
    QString comment;
    QString ip;
    QString mac;
    QString maker;
    bool web = false;
    QString name;
};

std::vector<ListedHost> ListHosts(const HostMap &hosts, const CommentMap &comments,
                                  const MakerIndex &makers);

// An aligned table with French headings; bold headings for a terminal.
QString FormatText(const std::vector<ListedHost> &hosts, bool terminal);
// RFC 4180: a header line, CRLF line ends, fields quoted where needed.
QString FormatCsv(const std::vector<ListedHost> &hosts);
// An array of objects with the keys comment, ip, mac, maker, web, name.
QString FormatJson(const std::vector<ListedHost> &hosts);
QJsonObject ToJson(const ListedHost &host);

// The network a RÉSEAU argument names, among the machine's own: an interface
// ("eth0"), ADRESSE/PRÉFIXE ("192.168.1.10/24", the network's address also
// counts) or the picker's text ("192.168.1.10 / 255.255.255.0"); empty
// text means the picker's first entry. On a refusal, error holds a one-line
// French message and status the exit status.
struct NetworkChoice
{
    QHostAddress address;
    QHostAddress netmask;
    QString error;
    ExitStatus status = Success;
};
NetworkChoice ChooseNetwork(const QString &argument);

// Watch mode: compares each scan with what the earlier ones saw. A host
// appears on its first scan, leaves once it has been missing from two scans
// in a row, and changes when its address answers with another MAC.
class Watch
{
public:
    struct Event
    {
        QString kind; // "appeared", "left" or "mac-changed"
        quint32 key;
        HostRecord record;
        std::vector<unsigned char> previousMac; // for "mac-changed"
    };
    std::vector<Event> Update(const HostMap &scan);

private:
    struct Known
    {
        HostRecord record;
        int misses = 0;
    };
    std::map<quint32, Known> known;
};

// The whole program once the application object exists; arguments[0] is
// the program's name. Returns the exit status. Sets *abandoned when a scan
// still runs and the process must end without waiting for it.
int Run(const QStringList &arguments, std::FILE *out, std::FILE *err, bool *abandoned = nullptr);

} // namespace lister
