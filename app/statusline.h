#pragma once

#include <QString>

#include <optional>

// The lines that hold the window's status line: each, while it is set, keeps
// the lines below it off (a refusal of the chosen network, comments that
// could not be saved, a history that cannot be written); and the last scan's
// line, shown again once the history is written.
struct StatusLines
{
    QString refused;
    QString unsaved;
    QString history;
    QString scan;
};

// What comes to the status line.
enum class StatusOffer
{
    Refusal, // the chosen network is too wide: shown whatever holds it
    Unsaved, // the comments could not be saved: shown whatever holds it
    Saved,   // they are saved again: unless refused, the history's line first
    History, // the history's new line (empty: written again); unless refused
             // or unsaved, shown, or for an empty one the scan's line again
    Scan,    // a scan's line: shown unless a line holds
    Notice   // something a scan recorded: shown unless a line holds
};

// What the status line says once line comes, of that kind, while held are
// the lines that hold it (held.unsaved already cleared for Saved); nothing
// when it keeps what it says.
std::optional<QString> StatusLineFor(const StatusLines &held, StatusOffer offer,
                                     const QString &line);
