#pragma once

#include <QString>

#include <map>

// MAC text ("00:1A:2B:3C:4D:5E") -> the comment the user typed for that host.
using CommentMap = std::map<QString, QString>;

// The comments live in the settings store's group "Comments", one string per
// host keyed by its MAC text. Qt Core only: the window and the command-line
// lister read the same store.

// Reads every stored comment into comments (inserting or overwriting).
void LoadComments(CommentMap &comments);
// Rewrites the store so that it holds exactly comments.
void SaveComments(const CommentMap &comments);
