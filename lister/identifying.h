#pragma once

#include "makers/makerlookup.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "scan/identification.h"
#include "scan/scansession.h"

#include <QJsonObject>
#include <QString>

#include <vector>

namespace lister {

// A one-shot list's identification: a round on each scanned network at once
// (each network's first here, so each is due), the cards known before
// (remembered) kept where their devices say nothing now. Waits until every
// round ended, which each does within identify::kRoundDeadlineMs; a round
// that overran is not waited for past RoundWaitMs. Puts each card's identity
// on found's hosts and returns what the rounds changed, for the store.
CardIdentities IdentifyScanned(std::vector<ScannedNetwork> &found, const MakerIndex &makers,
                               const CardIdentities &remembered);
constexpr int RoundWaitMs = identify::kRoundDeadlineMs + 500;

// Whether a watch tells of an identity: its type or its model changed.
bool TypeOrModelChanged(const identify::Identity &before, const identify::Identity &after);

// A watch's line of JSON for a card whose type or model a round changed:
// the host's fields as in the other events, "event": "identified", its time,
// and its "type" (key) and "model".
QJsonObject IdentifiedJson(quint32 key, const HostRecord &record, qint64 time,
                           const CommentMap &comments, const MakerIndex &makers,
                           const HostPlace &place);

// The same as a person reads it, in the columns of the other events:
//   14:02:11  identifié  198.51.100.7     3C:2A:F4:01:02:07  Imprimante — OfficeJet Pro 9010
// Texts from the devices shown as a terminal can take them.
QString IdentifiedText(quint32 key, const HostRecord &record, qint64 time,
                       const CommentMap &comments, const MakerIndex &makers,
                       const HostPlace &place);

// Either of them, with its line break.
QString IdentifiedLine(bool json, quint32 key, const HostRecord &record, qint64 time,
                       const CommentMap &comments, const MakerIndex &makers,
                       const HostPlace &place);

} // namespace lister
