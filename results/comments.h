#pragma once

#include "results/commentstore.h"
#include "results/hoststable.h"

#include <QStringList>

class QTableWidget;

// Takes what the user typed in the comment column of the rows into comments,
// keyed by the row's MAC text. A row whose text differs from the comment
// stored for its MAC is an edit: a non-empty text is stored, an empty one
// removes the key. A row that still shows the stored comment changes
// nothing, so that the row the user edited wins over the other rows of its
// MAC, whatever their order; editedRow, the row whose edit has just been
// finished (if any), is taken last and wins even over another edit. A
// stored empty comment goes once a row of its MAC is found empty.
void HarvestComments(const QTableWidget *table, CommentMap &comments, int editedRow = -1);

// Shows the comment of row on every other row of the same MAC text.
void ShareComment(QTableWidget *table, int row);

// The comment of row is its device's: written in comments under every card
// of cards (MAC texts, the row's among them or not) and shown on their rows.
void ShareCommentWithDevice(QTableWidget *table, int row, const QStringList &cards,
                            CommentMap &comments);
