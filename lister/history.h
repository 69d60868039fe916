#pragma once

#include "lister/networkchoice.h"
#include "makers/makerlookup.h"

#include <QString>

#include <cstdio>
#include <vector>

namespace lister {

// --historique: every device the presence store knows on each network (the
// one of these addresses scanned last), present ones first, in format.
// Sends nothing. Returns the exit status.
int RunHistory(const std::vector<Ipv4Network> &networks, const QString &format,
               const MakerIndex &makers, std::FILE *out, std::FILE *err);

// --reveiller: wakes the known device of this card or last address (target)
// on the network where it was last seen, from this machine's address on it.
// Status 2 with a message when it is unknown or not on this machine's
// networks now.
int RunWake(const QString &target, std::FILE *out, std::FILE *err);

} // namespace lister
