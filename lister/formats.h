#pragma once

#include "results/hostrow.h"
#include "results/listwriters.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

// The list of hosts in trelvan-list's three formats. Each shows the rows in
// their order, and the maker without the blanks some listings pad names with.

namespace lister {

// An aligned table with French headings; bold headings for a terminal.
// Control characters of comments, makers and names show as escapes
// ("\x1B"), line breaks and tabs of a comment as one blank: the table
// may go to a terminal, now or later.
QString FormatText(const std::vector<HostRow> &hosts, bool terminal);
// The same for the hosts of several networks: each network's table under a
// line with its name ("Réseau 198.51.100.0/24 (eth0)"); for one network,
// FormatText.
QString FormatTextByNetwork(const std::vector<HostRow> &hosts, bool terminal);
// RFC 4180: a header line, CRLF line ends, fields quoted where needed. A
// comment, maker or name that begins with '=', '+', '-', '@', a tab or a
// carriage return gets an apostrophe first, so that a spreadsheet takes it
// as text and never as a formula.
QString FormatCsv(const std::vector<HostRow> &hosts);
// An array of objects with the keys comment, ip, mac, maker, web (port 80),
// url (what "Connecter" opens, or empty), name (the one the window shows),
// names (each source's answer: dns, mdns, netbios), network
// ("198.51.100.0/24"), interface ("eth0"), and what the device is: type,
// model, friendly_name, services and evidence (AddIdentityJson).
// The text's "Site web ?" says oui, https (port 443 only) or non, its "Type"
// TypeText; the CSV has the columns of the JSON but names, then type and
// model last (IdentityCsv), so that scripts reading the others by their
// place keep working.
QString FormatJson(const std::vector<HostRow> &hosts);
// A row's keys without what the device is: the watch's events.
QJsonObject ToJson(const HostRow &host);

// The presence history as --historique lists it (HistoryRow of
// results/listwriters.h). format is texte, csv or json: the CSV and JSON are
// HistoryCsv and HistoryJson; the text's last column says "présent" while
// the device is, and several networks' devices come under their names.
QString FormatHistory(const std::vector<HistoryRow> &rows, const QString &format, bool terminal);

// The aligned table of the lists: the first row is the heading. It shows
// control characters of its cells as escapes. (Their CSV is CsvText.)
QString AlignedTable(const std::vector<QStringList> &rows, bool terminal);
// Line breaks and tabs of a comment made one space, for a table row.
QString OneLine(const QString &text);
// Text for a terminal: a C0 or C1 control, DEL, a line or paragraph
// separator or a mark that reorders text is written as an escape of its code
// ("\x1B", "\u202E"), so that a comment or a name can neither move the
// cursor, change colours nor turn the line around. Line breaks and tabs,
// which a comment may hold, become one blank.
QString TerminalText(const QString &text);

} // namespace lister
