#include "app/presencestrip.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDateTime>
#include <QHelpEvent>
#include <QLocale>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

#include <algorithm>

namespace {

constexpr int BarHeight = 10;
constexpr int Margin = 4;

QString MomentText(qint64 time)
{
    return QLocale(QLocale::French)
        .toString(QDateTime::fromMSecsSinceEpoch(time), QStringLiteral("ddd d MMM HH:mm"));
}

} // namespace

QRect StripBar(const QRect &rect)
{
    const int height = std::min(BarHeight, std::max(2, rect.height() - 2 * Margin));
    return QRect(rect.left() + Margin, rect.top() + (rect.height() - height) / 2,
                 std::max(1, rect.width() - 2 * Margin), height);
}

int StripX(const PresenceStrip &strip, const QRect &bar, qint64 time)
{
    const qint64 length = std::max<qint64>(1, strip.to - strip.from);
    const qint64 offset = std::clamp<qint64>(time - strip.from, 0, length);
    return bar.left() + int(offset * bar.width() / length);
}

qint64 StripTimeAt(const PresenceStrip &strip, const QRect &bar, int x)
{
    const qint64 offset = std::clamp(x - bar.left(), 0, bar.width());
    return strip.from + offset * (strip.to - strip.from) / std::max(1, bar.width());
}

QString StripToolTip(const PresenceStrip &strip, qint64 time)
{
    for (const presence::PresenceSpan &span : strip.spans)
        if (time >= span.from && (time < span.to || (time == strip.to && span.to == strip.to)))
            return (span.present ? PresenceStripDelegate::tr("présent de %0 à %1")
                                 : PresenceStripDelegate::tr("absent de %0 à %1"))
                .arg(MomentText(span.from), MomentText(span.to));
    return QString();
}

void PaintPresenceStrip(QPainter *painter, const QRect &rect, const PresenceStrip &strip)
{
    if (strip.to <= strip.from)
        return;
    const QRect bar = StripBar(rect);
    painter->save();
    painter->fillRect(bar, QColor(StripAbsentRgb));
    for (const presence::PresenceSpan &span : strip.spans) {
        if (!span.present)
            continue;
        const int left = StripX(strip, bar, span.from);
        // A presence of a few minutes is still a visible line.
        const int right = std::max(left + 1, StripX(strip, bar, span.to));
        painter->fillRect(QRect(left, bar.top(), right - left, bar.height()),
                          QColor(StripPresentRgb));
    }
    painter->setPen(QColor(StripTickRgb));
    QDateTime midnight(QDateTime::fromMSecsSinceEpoch(strip.from).date().addDays(1), QTime(0, 0));
    for (; midnight.toMSecsSinceEpoch() < strip.to; midnight = midnight.addDays(1)) {
        const int x = StripX(strip, bar, midnight.toMSecsSinceEpoch());
        painter->drawLine(x, bar.top() - 2, x, bar.bottom() + 2);
    }
    painter->restore();
}

void PresenceStripDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QStyle *style = cell.widget ? cell.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, cell.widget);
    PaintPresenceStrip(painter, option.rect, index.data(Qt::UserRole).value<PresenceStrip>());
}

QSize PresenceStripDelegate::sizeHint(const QStyleOptionViewItem &option,
                                      const QModelIndex &index) const
{
    const QSize text = QStyledItemDelegate::sizeHint(option, index);
    return QSize(std::max(text.width(), StripWidth), text.height());
}

bool PresenceStripDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                      const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip || !index.data(Qt::UserRole).canConvert<PresenceStrip>())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const PresenceStrip strip = index.data(Qt::UserRole).value<PresenceStrip>();
    const QString text = StripToolTip(strip, StripTimeAt(strip, StripBar(option.rect), event->x()));
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    return true;
}
