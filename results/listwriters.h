#pragma once

#include "results/hostrow.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

// The writers that trelvan-list and the window's history share, so that a
// file the window exports is byte for byte the one the lister prints. Text
// for other programs: a spreadsheet opening the CSV never runs a field as a
// formula, and JSON keeps every text as it is.

// RFC 4180, the first row the heading: CRLF line ends, a field quoted where
// it holds a quote, a comma or a line break. A field that begins with '=',
// '+', '-', '@', a tab or a carriage return gets an apostrophe first, so that
// a spreadsheet takes it as text and never as a formula.
QString CsvText(const std::vector<QStringList> &rows);

// What the lists say of what a device is (HostRow::identity), the same in
// trelvan-list's rows and in the presence history's. The texts came from
// the network: each writer keeps them text for its reader.
// The text tables' "Type" column: ShownType ("Imprimante", "cet
// ordinateur"), empty while the type is unknown.
QString TypeText(const identify::Identity &identity);
// The CSV's last two fields: type (TypeKey: "printer", "unknown") and model.
QStringList IdentityCsv(const identify::Identity &identity);
// The JSON's keys type (TypeKey), model, friendly_name, services (an array
// of the DNS-SD types) and evidence (an array of {"source", "detail"}),
// added to object.
void AddIdentityJson(QJsonObject &object, const identify::Identity &identity);

// ISO 8601 in local time with its offset: 2026-12-08T14:02:11+01:00.
QString IsoTimeText(qint64 msecsSinceEpoch);

// A device of the presence history, as a list shows it.
struct HistoryRow
{
    HostRow host;         // its comment, last address, card, maker and name
    qint64 firstSeen = 0; // ms since 1970
    qint64 lastSeen = 0;
    bool present = false;
    QStringList macs; // every card of the device, the last seen first
};

// The history with the fields comment, ip, mac, maker, name, first_seen,
// last_seen (IsoTimeText), present (true/false), network ("198.51.100.0/24"),
// interface ("eth0"), type and model (IdentityCsv), macs (every card,
// separated by spaces) and ipv6 (its last IPv6 addresses, separated by
// spaces), the rows in their order.
QString HistoryCsv(const std::vector<HistoryRow> &rows);
// An array of objects with those keys, type and model as AddIdentityJson
// gives them with its others, macs and ipv6 arrays.
QString HistoryJson(const std::vector<HistoryRow> &rows);
