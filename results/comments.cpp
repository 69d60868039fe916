#include "results/comments.h"

#include <QTableWidget>

void HarvestComments(const QTableWidget *table, CommentMap &comments)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *commentItem = table->item(row, CommentColumn);
        const QTableWidgetItem *macItem = table->item(row, MacColumn);
        if (!commentItem || !macItem)
            continue;
        const QString comment = commentItem->text();
        const QString key = macItem->text();
        if (comment.isEmpty())
            comments.erase(key);
        else
            comments[key] = comment;
    }
}
