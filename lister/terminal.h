#pragma once

#include <QString>

#include <cstdio>

// What trelvan-list needs of its terminal and its process: writing, telling
// a terminal from a pipe, and the signals that stop it.

namespace lister {

// Writes text as UTF-8 and flushes; false when the write failed. To a
// Windows console, as UTF-16 instead, which shows whatever its code page.
bool Write(std::FILE *file, const QString &text);
// "trelvan-list : message" on its own line.
void Complain(std::FILE *err, const QString &message);
// « text », with no-break spaces inside the quotes.
QString Quoted(const QString &text);

bool IsTerminal(std::FILE *file);
// True once nobody reads file any more (a pipe whose reader has gone). Only
// a later write tells on Windows.
bool OutputClosed(std::FILE *file);

// From now on SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on Windows) set
// StopRequested instead of ending the process, and a closed pipe shows as a
// failed write, not as a signal.
void CatchStopSignals();
bool StopRequested();

// Flushes standard output and error and ends the process with status at
// once: no destructor runs and no thread is waited for, neither ours nor a
// library's (on Windows ExitProcess would end the other threads first and
// then run the DLLs' own, among them Qt's, on the locks and waits those
// threads left).
[[noreturn]] void EndProcess(int status);

} // namespace lister
