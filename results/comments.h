#pragma once

#include "results/commentstore.h"
#include "results/hoststable.h"

class QTableWidget;

// Takes what the user typed in the comment column of each row into comments,
// keyed by the row's MAC text: a non-empty text is stored, an empty one
// removes the key. Rows are read in order, so the last row of a MAC decides.
void HarvestComments(const QTableWidget *table, CommentMap &comments);
