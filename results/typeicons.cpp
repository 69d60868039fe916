#include "results/typeicons.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QPolygonF>

#include <algorithm>
#include <initializer_list>

namespace {

using identify::DeviceType;

// The theme's names of a type's icon (freedesktop's icon naming), the
// likeliest first; none for a type no theme draws.
QStringList ThemeNames(DeviceType type)
{
    switch (type) {
    case DeviceType::Router:
        return {QStringLiteral("network-workgroup"), QStringLiteral("modem")};
    case DeviceType::AccessPoint:
        return {QStringLiteral("network-wireless")};
    case DeviceType::Computer:
        return {QStringLiteral("computer")};
    case DeviceType::Phone:
        return {QStringLiteral("phone")};
    case DeviceType::Tablet:
        return {QStringLiteral("tablet"), QStringLiteral("pda")};
    case DeviceType::Printer:
        return {QStringLiteral("printer")};
    case DeviceType::Tv:
        return {QStringLiteral("tv"), QStringLiteral("video-display")};
    case DeviceType::MediaPlayer:
        return {QStringLiteral("multimedia-player")};
    case DeviceType::Speaker:
        return {QStringLiteral("audio-speakers")};
    case DeviceType::Nas:
        return {QStringLiteral("drive-harddisk"), QStringLiteral("network-server")};
    case DeviceType::Camera:
        return {QStringLiteral("camera-web"), QStringLiteral("camera-video")};
    case DeviceType::GameConsole:
        return {QStringLiteral("input-gaming")};
    case DeviceType::Iot:
    case DeviceType::Unknown:
        break;
    }
    return {};
}

// Draws on a square as on a grid of 16 units with strokes one unit wide.
// Every straight edge falls on a whole pixel, so that the icon is sharp at
// 16 pixels, and at 32 where a unit is two pixels and a stroke two wide.
class Sketch
{
public:
    Sketch(QPainter &onto, int side, QIcon::Mode mode)
        : painter(onto), unit(side / 16.0), line(std::max(1, qRound(side / 16.0)))
    {
        const QPalette colours = QGuiApplication::palette();
        const QPalette::ColorGroup group =
            mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active;
        if (mode == QIcon::Selected) {
            ink = colours.color(group, QPalette::HighlightedText);
            tint = ink;
            tint.setAlpha(96);
        } else {
            ink = colours.color(group, QPalette::WindowText);
            tint = colours.color(group, QPalette::Highlight);
            tint.setAlpha(160);
        }
        paper = colours.color(group, QPalette::Base);
        painter.setRenderHint(QPainter::Antialiasing);
    }

    QColor ink, tint, paper;

    // A box filled whole.
    void Fill(qreal x, qreal y, qreal w, qreal h) { Fill(x, y, w, h, ink); }
    void Fill(qreal x, qreal y, qreal w, qreal h, const QColor &colour)
    {
        painter.fillRect(Box(x, y, w, h), colour);
    }

    // A box's outline, its inside filled with inside (none when invalid).
    void Frame(qreal x, qreal y, qreal w, qreal h, const QColor &inside = QColor())
    {
        const QRect outer = Box(x, y, w, h);
        const QRect inner = outer.adjusted(line, line, -line, -line);
        if (inside.isValid())
            painter.fillRect(inner, inside);
        QPainterPath frame;
        frame.setFillRule(Qt::OddEvenFill);
        frame.addRect(outer);
        frame.addRect(inner);
        painter.fillPath(frame, ink);
    }

    // The same with rounded corners of radius r units.
    void RoundFrame(qreal x, qreal y, qreal w, qreal h, qreal r)
    {
        const QRectF outer = Box(x, y, w, h);
        const qreal radius = r * unit;
        QPainterPath frame;
        frame.setFillRule(Qt::OddEvenFill);
        frame.addRoundedRect(outer, radius, radius);
        const qreal innerRadius = std::max<qreal>(0, radius - line);
        frame.addRoundedRect(outer.adjusted(line, line, -line, -line), innerRadius, innerRadius);
        painter.fillPath(frame, ink);
    }

    // A circle's outline around (cx, cy), its inside filled with inside.
    void Ring(qreal cx, qreal cy, qreal r, const QColor &inside)
    {
        const QPointF centre(cx * unit, cy * unit);
        const qreal radius = r * unit;
        const qreal innerRadius = std::max<qreal>(0, radius - line);
        QPainterPath disc;
        disc.addEllipse(centre, innerRadius, innerRadius);
        painter.fillPath(disc, inside);
        QPainterPath ring;
        ring.setFillRule(Qt::OddEvenFill);
        ring.addEllipse(centre, radius, radius);
        ring.addEllipse(centre, innerRadius, innerRadius);
        painter.fillPath(ring, ink);
    }

    void Disc(qreal cx, qreal cy, qreal r, const QColor &colour)
    {
        QPainterPath disc;
        disc.addEllipse(QPointF(cx * unit, cy * unit), r * unit, r * unit);
        painter.fillPath(disc, colour);
    }

    // A stroke from one point to another, with round ends.
    void Segment(qreal x1, qreal y1, qreal x2, qreal y2)
    {
        painter.setPen(Pen());
        painter.drawLine(QPointF(x1 * unit, y1 * unit), QPointF(x2 * unit, y2 * unit));
    }

    // A stroke along the circle around (cx, cy) from angle from to angle to,
    // in degrees counter-clockwise from three o'clock.
    void Arc(qreal cx, qreal cy, qreal r, int from, int to)
    {
        painter.setPen(Pen());
        const qreal radius = r * unit;
        painter.drawArc(QRectF(cx * unit - radius, cy * unit - radius, 2 * radius, 2 * radius),
                        from * 16, (to - from) * 16);
    }

    void Polygon(std::initializer_list<QPointF> points, const QColor &colour)
    {
        QPolygonF polygon;
        for (const QPointF &point : points)
            polygon << point * unit;
        QPainterPath path;
        path.addPolygon(polygon);
        path.closeSubpath();
        painter.fillPath(path, colour);
    }

private:
    // The pixels of a box of the grid, its edges rounded to whole pixels and
    // never less than one pixel across.
    QRect Box(qreal x, qreal y, qreal w, qreal h) const
    {
        const int left = qRound(x * unit);
        const int top = qRound(y * unit);
        const int right = std::max(left + 1, qRound((x + w) * unit));
        const int bottom = std::max(top + 1, qRound((y + h) * unit));
        return QRect(left, top, right - left, bottom - top);
    }

    QPen Pen() const { return QPen(ink, line, Qt::SolidLine, Qt::RoundCap); }

    QPainter &painter;
    qreal unit;
    int line;
};

void Draw(DeviceType type, Sketch &s)
{
    switch (type) {
    case DeviceType::Router: // a box with two antennas and its lights
        s.Fill(3, 2, 1, 6);
        s.Fill(12, 2, 1, 6);
        s.Frame(1, 8, 14, 6);
        for (const int x : {3, 6, 9})
            s.Fill(x, 10, 2, 2, s.tint);
        break;
    case DeviceType::AccessPoint: // a flat box under the waves
        s.Frame(2, 11, 12, 4);
        s.Fill(7, 12, 2, 2, s.tint);
        s.Disc(8, 8.5, 1, s.ink);
        s.Arc(8, 8.5, 3.5, 45, 135);
        s.Arc(8, 8.5, 6.5, 50, 130);
        break;
    case DeviceType::Computer: // a screen on its stand
        s.Frame(1, 2, 14, 9, s.tint);
        s.Fill(7, 11, 2, 2);
        s.Fill(4, 13, 8, 2);
        break;
    case DeviceType::Phone: // upright, its screen and button
        s.RoundFrame(4, 1, 8, 14, 1.5);
        s.Fill(6, 3, 4, 9, s.tint);
        s.Fill(7, 13, 2, 1);
        break;
    case DeviceType::Tablet: // lying wide
        s.RoundFrame(1, 3, 14, 10, 1.5);
        s.Fill(3, 5, 10, 6, s.tint);
        break;
    case DeviceType::Printer: // paper in, body, paper out
        s.Frame(4, 1, 8, 5, s.paper);
        s.Frame(1, 5, 14, 7, s.tint);
        s.Frame(4, 10, 8, 5, s.paper);
        s.Fill(6, 12, 4, 1);
        break;
    case DeviceType::Tv: // a wide screen on legs, its antenna
        s.Segment(8, 4, 5, 1);
        s.Segment(8, 4, 11, 1);
        s.Frame(1, 4, 14, 9, s.tint);
        s.Fill(3, 13, 2, 2);
        s.Fill(11, 13, 2, 2);
        break;
    case DeviceType::MediaPlayer: // a box that plays
        s.Frame(1, 4, 14, 8);
        s.Polygon({{6, 6}, {6, 10}, {10.5, 8}}, s.ink);
        s.Fill(2, 12, 2, 1);
        s.Fill(12, 12, 2, 1);
        break;
    case DeviceType::Speaker: // a tall box, tweeter and woofer
        s.Frame(4, 1, 8, 14);
        s.Disc(8, 4.5, 1.25, s.ink);
        s.Ring(8, 10, 2.75, s.tint);
        break;
    case DeviceType::Nas: // a box of three drives
        s.Frame(2, 2, 12, 13);
        s.Fill(3, 6, 10, 1);
        s.Fill(3, 10, 10, 1);
        for (const int y : {4, 8, 12}) {
            s.Fill(4, y, 4, 1);
            s.Fill(10, y, 2, 1, s.tint);
        }
        break;
    case DeviceType::Camera: // a lens on its foot
        s.Ring(8, 6.5, 5.5, s.paper);
        s.Disc(8, 6.5, 2.5, s.tint);
        s.Disc(8, 6.5, 1, s.ink);
        s.Fill(7, 12, 2, 2);
        s.Fill(4, 14, 8, 1);
        break;
    case DeviceType::GameConsole: // a gamepad
        s.RoundFrame(1, 4, 14, 9, 3);
        s.Fill(3, 8, 3, 1);
        s.Fill(4, 7, 1, 3);
        s.Disc(10.5, 9.5, 1, s.tint);
        s.Disc(12, 7.5, 1, s.tint);
        break;
    case DeviceType::Iot: // a chip and its pins
        s.Frame(4, 4, 8, 8);
        s.Fill(6, 6, 4, 4, s.tint);
        for (const int at : {6, 9}) {
            s.Fill(at, 1, 1, 3);
            s.Fill(at, 12, 1, 3);
            s.Fill(1, at, 3, 1);
            s.Fill(12, at, 3, 1);
        }
        break;
    case DeviceType::Unknown:
        break;
    }
}

QPixmap Drawn(DeviceType type, const QSize &size, QIcon::Mode mode)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    const int side = std::min(size.width(), size.height());
    if (side <= 0)
        return pixmap;
    QPainter painter(&pixmap);
    painter.translate((size.width() - side) / 2, (size.height() - side) / 2);
    Sketch sketch(painter, side, mode);
    Draw(type, sketch);
    return pixmap;
}

// The program's own icon of a type, drawn for the size and the pixel ratio
// it is asked for.
class DrawnIconEngine : public QIconEngine
{
public:
    explicit DrawnIconEngine(DeviceType drawnType) : type(drawnType) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap drawn = Drawn(type, (QSizeF(rect.size()) * ratio).toSize(), mode);
        drawn.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), drawn);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State) override
    {
        return Drawn(type, size, mode);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        return {QSize(16, 16), QSize(32, 32)};
    }

    QIconEngine *clone() const override { return new DrawnIconEngine(type); }
    QString key() const override { return QStringLiteral("TrelvanTypeIcon"); }
    bool isNull() override { return false; }

private:
    DeviceType type;
};

} // namespace

QIcon TypeIcon(const identify::Identity &identity)
{
    if (identity.thisMachine)
        return TypeIcon(DeviceType::Computer);
    return TypeIcon(identity.type);
}

QIcon TypeIcon(identify::DeviceType type)
{
    for (const QString &name : ThemeNames(type))
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    return DrawnTypeIcon(type);
}

QIcon DrawnTypeIcon(identify::DeviceType type)
{
    if (type == DeviceType::Unknown)
        return QIcon();
    return QIcon(new DrawnIconEngine(type));
}
