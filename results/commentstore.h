#pragma once

#include <QString>

#include <map>

// MAC text ("00:1A:2B:3C:4D:5E") -> the comment the user typed for that host.
using CommentMap = std::map<QString, QString>;

// The comments live in the settings store's group "Comments", one string per
// host keyed by its MAC text. Qt Core only: the window and the command-line
// lister read the same store.

// Why a save left the store as it was.
enum class SaveFault
{
    None,
    DiskFull,
    QuotaExceeded,
    ReadOnly,     // a file system mounted read-only
    AccessDenied, // a folder or file the user may not write
    Locked,       // another program holds the store's lock
    Other,
};

// What became of a save. Unless it succeeded, the store's file holds exactly
// what it held before, byte for byte; in the registry (Windows), where each
// value is written by itself, the values written before the failure stay and
// the next save writes the rest. Either way no comment that was not to change
// is lost.
struct CommentSave
{
    SaveFault fault = SaveFault::None;
    QString fileName; // the store's file (the registry key on Windows)
    QString detail;   // the system's own words for the fault, for diagnostics

    bool saved() const { return fault == SaveFault::None; }
};

// Reads every stored comment into comments (inserting or overwriting).
void LoadComments(CommentMap &comments);
// Makes the group "Comments" of the store hold exactly comments, writing
// only what changed, or says why it could not; every other group of the
// store stays as it was.
CommentSave SaveComments(const CommentMap &comments);
