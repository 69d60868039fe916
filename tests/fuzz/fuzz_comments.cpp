// The comments loader, on any settings file: what it reads must come back
// alike once written and read again, and must be written as the settings
// store would write it; put back into the file in place of its group, it
// reads back alike too, and putting it back again changes nothing.
#include "results/commentfile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArrayView file(reinterpret_cast<const char *>(data), qsizetype(size));
    const CommentMap comments = ParseCommentFile(file);
    const QByteArray written = FormatCommentFile(comments);
    if (ParseCommentFile(written) != comments)
        std::abort();
    // Written text is stable: writing what was read back changes nothing.
    if (FormatCommentFile(ParseCommentFile(written)) != written)
        std::abort();
    const QByteArray saved = ReplaceCommentGroup(file, written);
    if (ParseCommentFile(saved) != comments || ReplaceCommentGroup(saved, written) != saved)
        std::abort();
    return 0;
}
