#pragma once

#include "results/hostrow.h"

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

// ISO 8601 in local time with its offset: 2026-12-08T14:02:11+01:00.
QString IsoTimeText(qint64 msecsSinceEpoch);

// A device of the presence history, as a list shows it.
struct HistoryRow
{
    HostRow host;         // its comment, last address, card, maker and name
    qint64 firstSeen = 0; // ms since 1970
    qint64 lastSeen = 0;
    bool present = false;
};

// The history with the fields comment, ip, mac, maker, name, first_seen,
// last_seen (IsoTimeText), present (true/false), network ("198.51.100.0/24")
// and interface ("eth0"), the rows in their order.
QString HistoryCsv(const std::vector<HistoryRow> &rows);
// An array of objects with those keys.
QString HistoryJson(const std::vector<HistoryRow> &rows);
