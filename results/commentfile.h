#pragma once

// The file that keeps the comments: the settings store's file of the
// application, in the INI text that the toolkit writes for string values,
// with the group "Comments" holding one line per host:
//
//   [Comments]
//   00%3A1A%3A2B%3A3C%3A4D%3A5E=imprimante
//
// It is read and written here rather than through QSettings' own INI parser,
// which decodes typed values ("@Variant(...)", "@DateTime(...)") on reading:
// a damaged or hand-edited value of a few bytes can make it allocate
// gigabytes. Here every value is the plain string it spells. Qt Core only.

#include "results/commentstore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1String>
#include <QString>

#include <map>

// The group of the settings store that holds the comments.
inline constexpr QLatin1String CommentsGroup("Comments");

// The comments of the group "Comments" of a settings file's text, later
// lines winning. A key that names a MAC text with slashes around it (a
// leading or doubled backslash in the file) is taken as that MAC text; any
// other key is kept as it reads, so that writing it gives the same key back.
// Anything outside the group is ignored.
CommentMap ParseCommentFile(QByteArrayView text);

// The text of a settings file that holds exactly comments, byte for byte
// what QSettings writes for the same string values.
QByteArray FormatCommentFile(const CommentMap &comments);

// A settings file's text with its group "Comments" replaced by group (the
// text FormatCommentFile makes, or nothing): every other group, and any line
// before the first, stays byte for byte as it was; the new group stands
// where the first "Comments" group stood, else at the end, and any later
// "Comments" group goes.
QByteArray ReplaceCommentGroup(QByteArrayView text, QByteArrayView group);
