#include "results/commentstore.h"

#include "results/commentfile.h"

// The store's file is read and written as plain text rather than through
// QSettings' own decoding: see results/commentfile.h.

void LoadComments(CommentMap &comments)
{
    ReadCommentStore(comments);
}

void SaveComments(const CommentMap &comments)
{
    // The store then holds exactly the comments, nothing else.
    WriteCommentStore(comments);
}
