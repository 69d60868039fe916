#pragma once

#include "results/hoststable.h"

class QTableWidget;

// The comments live in the settings store's group "Comments", one string per
// host keyed by its MAC text.

// Reads every stored comment into comments (inserting or overwriting).
void LoadComments(CommentMap &comments);
// Takes what the user typed in column 0 of each row into comments, keyed by
// the row's MAC text in column 2: a non-empty text is stored, an empty one
// removes the key. Rows are read in order, so the last row of a MAC decides.
void HarvestComments(const QTableWidget *table, CommentMap &comments);
// Rewrites the store so that it holds exactly comments.
void SaveComments(const CommentMap &comments);
