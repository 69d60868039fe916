#include "results/comments.h"

#include <QTableWidget>

#include <set>

namespace {

bool ReadRow(const QTableWidget *table, int row, QString *key, QString *comment)
{
    const QTableWidgetItem *commentItem = table->item(row, CommentColumn);
    const QTableWidgetItem *macItem = table->item(row, MacColumn);
    if (!commentItem || !macItem)
        return false;
    *key = macItem->text();
    *comment = commentItem->text();
    return true;
}

void Store(CommentMap &comments, const QString &key, const QString &comment)
{
    if (comment.isEmpty())
        comments.erase(key);
    else
        comments[key] = comment;
}

} // namespace

void HarvestComments(const QTableWidget *table, CommentMap &comments, int editedRow)
{
    const CommentMap stored = comments;
    std::set<QString> foundEmpty; // MACs whose stored comment a row shows empty
    for (int row = 0; row < table->rowCount(); ++row) {
        QString key, comment;
        if (row == editedRow || !ReadRow(table, row, &key, &comment))
            continue;
        const auto before = stored.find(key);
        const QString previous = before == stored.end() ? QString() : before->second;
        if (comment != previous)
            Store(comments, key, comment);
        else if (comment.isEmpty() && before != stored.end())
            foundEmpty.insert(key);
    }
    QString editedKey;
    if (QString comment; editedRow >= 0 && editedRow < table->rowCount() &&
                         ReadRow(table, editedRow, &editedKey, &comment))
        Store(comments, editedKey, comment);
    for (const QString &key : foundEmpty) {
        const auto now = comments.find(key);
        if (key != editedKey && now != comments.end() && now->second.isEmpty())
            comments.erase(now);
    }
}

void ShareComment(QTableWidget *table, int row)
{
    QString key, comment;
    if (!ReadRow(table, row, &key, &comment))
        return;
    for (int other = 0; other < table->rowCount(); ++other) {
        QString otherKey, otherComment;
        if (other != row && ReadRow(table, other, &otherKey, &otherComment) && otherKey == key &&
            otherComment != comment)
            table->item(other, CommentColumn)->setText(comment);
    }
}

void ShareCommentWithDevice(QTableWidget *table, int row, const QStringList &cards,
                            CommentMap &comments)
{
    QString key, comment;
    if (!ReadRow(table, row, &key, &comment))
        return;
    for (const QString &card : cards)
        if (card != key)
            Store(comments, card, comment);
    for (int other = 0; other < table->rowCount(); ++other) {
        QString otherKey, otherComment;
        if (other != row && ReadRow(table, other, &otherKey, &otherComment) &&
            cards.contains(otherKey) && otherComment != comment)
            table->item(other, CommentColumn)->setText(comment);
    }
}
