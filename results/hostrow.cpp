#include "results/hostrow.h"

#include "results/hosttext.h"

#include <QCoreApplication>

HostRow MakeHostRow(quint32 key, const HostRecord &record, const CommentMap &comments,
                    const MakerIndex &makers, const HostPlace &place)
{
    HostRow row;
    row.key = key;
    row.ip = AddressText(key);
    row.mac = MacToText(record.mac);
    const auto comment = comments.find(row.mac);
    if (comment != comments.end())
        row.comment = comment->second;
    const Maker maker = LookupMaker(makers, record.mac);
    row.maker = maker.name.trimmed();
    row.listedMaker = maker.name;
    // The window shows this text, so it is translated in the window's context.
    if (maker.locallyAdministered)
        row.makerToolTip = QCoreApplication::translate(
            "TrelvanWindow", "Adresse administrée localement : souvent l'adresse aléatoire "
                             "d'un téléphone ou d'une tablette, ou une machine virtuelle");
    row.name = record.name;
    row.names = record.names;
    row.web = record.webServer;
    if (record.webServer)
        row.webAddress = WebAddressText(key);
    else if (record.secureWebServer)
        row.webAddress = SecureWebAddressText(key);
    row.network = place.network;
    row.interfaceName = place.interfaceName;
    row.identity = record.identity;
    row.ipv6 = record.ipv6;
    return row;
}

std::vector<HostRow> MakeHostRows(const HostMap &hosts, const CommentMap &comments,
                                  const MakerIndex &makers, const HostPlace &place)
{
    std::vector<HostRow> rows;
    rows.reserve(hosts.size());
    for (const quint32 key : KeysInAddressOrder(hosts))
        rows.push_back(MakeHostRow(key, hosts.at(key), comments, makers, place));
    return rows;
}
