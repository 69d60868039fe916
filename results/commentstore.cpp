#include "results/commentstore.h"

#include <QSettings>

namespace {
const QString CommentsGroup = QStringLiteral("Comments");
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
