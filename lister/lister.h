#pragma once

#include <QStringList>

#include <cstdio>

// trelvan-list: the window's scan without the window, for scripts and
// monitoring. Everything but main is in this folder's library, so that the
// tests run it in-process with the fake interfaces and address resolution:
//
//   lister.cpp        the options, and what runs for them
//   networkchoice.h   the networks the RÉSEAU arguments and --tous name
//   scanonce.h        one scan of each network, and how a stop signal ends it
//   watch.h           watch mode (--suivre), the events' JSON
//   identifying.h     what the devices say of themselves: the one-shot's
//                     rounds, the watch's "identified" lines
//   mqttsink.h        the watch's presence over MQTT (--mqtt)
//   eventcommand.h    the program run for each event (--commande)
//   history.h         the presence history (--historique) and Wake-on-LAN
//                     (--reveiller)
//   formats.h         the list as text, CSV or JSON
//   terminal.h        writing, the terminal, the stop signals

namespace lister {

enum ExitStatus
{
    Success = 0,
    ScanFailed = 1,
    UsageError = 2
};

// The whole program once the application object exists; arguments[0] is
// the program's name. Returns the exit status. Sets *abandoned when a scan
// still runs and the process must end without waiting for it.
int Run(const QStringList &arguments, std::FILE *out, std::FILE *err, bool *abandoned = nullptr);

} // namespace lister
