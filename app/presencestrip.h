#pragma once

#include "presence/timeline.h"

#include <QMetaType>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>
#include <QtGlobal>

#include <vector>

class QPainter;

// A device's last days as a thin bar: green while it was present, light
// grey while it was absent, a darker tick at each midnight, now at the
// right end. What a cell of the history's strip column holds (Qt::UserRole).
struct PresenceStrip
{
    std::vector<presence::PresenceSpan> spans;
    qint64 from = 0; // ms since 1970: the left end
    qint64 to = 0;   // the right end
};
Q_DECLARE_METATYPE(PresenceStrip)

// The strip column's width at first: an hour of each of the seven days
// apart, and the cell's margins.
constexpr int StripWidth = 7 * 24 + 8;

constexpr QRgb StripPresentRgb = 0x2e9e4f;
constexpr QRgb StripAbsentRgb = 0xd4d4d4;
constexpr QRgb StripTickRgb = 0x6e6e6e;

// The bar of a strip drawn in a cell of rect.
QRect StripBar(const QRect &rect);
// Where the bar of rect shows time, and the moment under x.
int StripX(const PresenceStrip &strip, const QRect &bar, qint64 time);
qint64 StripTimeAt(const PresenceStrip &strip, const QRect &bar, int x);
// "présent de lun. 7 déc. 14:05 à mar. 8 déc. 09:12", "absent de … à …":
// the span of time; empty outside the strip.
QString StripToolTip(const PresenceStrip &strip, qint64 time);
// Draws the bar of the strip in the cell rect.
void PaintPresenceStrip(QPainter *painter, const QRect &rect, const PresenceStrip &strip);

// Draws the strip column's cells and tells the hours under the pointer.
class PresenceStripDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;
};
