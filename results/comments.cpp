#include "results/comments.h"

#include <QSettings>
#include <QTableWidget>

namespace {
const QString CommentsGroup = QStringLiteral("Comments");
// Columns of the hosts table that the comments are read from.
constexpr int CommentColumn = 0;
constexpr int MacColumn = 2;
} // namespace

void LoadComments(CommentMap &comments)
{
    QSettings settings;
    settings.beginGroup(CommentsGroup);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        comments[key] = settings.value(key).toString();
    settings.endGroup();
}

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

void SaveComments(const CommentMap &comments)
{
    QSettings settings;
    settings.beginGroup(CommentsGroup);
    // Empties the whole store, not only the group: it holds nothing else, so
    // afterwards it holds exactly the comments below.
    settings.clear();
    for (const auto &[key, comment] : comments)
        settings.setValue(key, QVariant(comment));
    settings.endGroup();
}
