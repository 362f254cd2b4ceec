#include "ui/BrandMark.hpp"

#include "ui/Theme.hpp"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace pokescope::ui::BrandMark {

namespace {

// The mark lives in a 100 × 100 box: the phone is 54 wide and 88 high, the ring sits on its lower screen.
constexpr double kBox = 100;
const QRectF kPhone(23, 6, 54, 88);
constexpr double kPhoneRadius = 12;
const QPointF kRing(58, 60);
constexpr double kRingOuter = 17;
constexpr double kRingInner = 10;

QPainterPath phonePath() {
    QPainterPath path;
    path.addRoundedRect(kPhone, kPhoneRadius, kPhoneRadius);
    return path;
}

QPainterPath ringPath(double outer, double inner) {
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    path.addEllipse(kRing, outer, outer);
    path.addEllipse(kRing, inner, inner);
    return path;
}

// Cross hairs: four short bars around the ring, the lower right one reaching past the phone's edge.
QPainterPath hairsPath(double width) {
    QPainterPath path;
    const double gap = kRingOuter + 3;
    auto bar = [&](QPointF from, QPointF to) {
        QPainterPath line;
        line.moveTo(from);
        line.lineTo(to);
        QPainterPathStroker stroker;
        stroker.setWidth(width);
        stroker.setCapStyle(Qt::RoundCap);
        path.addPath(stroker.createStroke(line));
    };
    bar(QPointF(kRing.x(), kRing.y() - gap), QPointF(kRing.x(), kRing.y() - gap - 8));
    bar(QPointF(kRing.x() - gap, kRing.y()), QPointF(kRing.x() - gap - 8, kRing.y()));
    bar(QPointF(kRing.x() + gap, kRing.y()), QPointF(kRing.x() + gap + 12, kRing.y()));
    bar(QPointF(kRing.x(), kRing.y() + gap), QPointF(kRing.x(), kRing.y() + gap + 12));
    return path.simplified();
}

} // namespace

void paint(QPainter& painter, const QRectF& rect, Style style, const QColor& colour) {
    const double side = std::min(rect.width(), rect.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / kBox, side / kBox);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    if (style == Style::filled) {
        // A solid phone with the ring cut out of it, and the ring's centre dot left standing.
        QPainterPath body = phonePath().subtracted(ringPath(kRingOuter + 3, 0)).subtracted(hairsPath(5));
        body.addPath(ringPath(kRingOuter, kRingInner));
        body.addEllipse(kRing, 4, 4);
        QPainterPath slit;
        slit.addRoundedRect(QRectF(42, 14, 16, 4), 2, 2);
        painter.drawPath(body.subtracted(slit));
        painter.drawPath(hairsPath(5).subtracted(phonePath()));
    } else {
        QPainterPathStroker stroker;
        stroker.setWidth(7);
        stroker.setJoinStyle(Qt::RoundJoin);
        QPainterPath outline = stroker.createStroke(phonePath());
        outline = outline.subtracted(ringPath(kRingOuter + 3, 0));
        painter.drawPath(outline);
        painter.drawPath(ringPath(kRingOuter, kRingOuter - 6));
        painter.drawEllipse(kRing, 4, 4);
        painter.drawPath(hairsPath(5));
        painter.drawRoundedRect(QRectF(42, 14, 16, 4), 2, 2); // the speaker slit
    }
    painter.restore();
}

QImage iconImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    // A rounded tile with a small margin, as desktop icon sets draw them.
    const double margin = pixels * 0.06;
    const QRectF tile(margin, margin, pixels - 2 * margin, pixels - 2 * margin);
    QLinearGradient gradient(tile.topLeft(), tile.bottomRight());
    gradient.setColorAt(0, QColor(0x2b, 0x7c, 0xf0));
    gradient.setColorAt(1, QColor(0x12, 0x2a, 0x5c));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, tile.width() * 0.22, tile.height() * 0.22);
    // The mark: white phone, the ring in the brand's light blue over it.
    const QRectF markBox = tile.adjusted(tile.width() * 0.14, tile.height() * 0.12, -tile.width() * 0.14,
                                         -tile.height() * 0.12);
    paint(painter, markBox, Style::filled, QColor(0xf4, 0xf7, 0xfc));
    painter.end();
    return image;
}

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512})
        icon.addPixmap(QPixmap::fromImage(iconImage(size)));
    return icon;
}

QImage trayImage(int size, bool ready) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    // A light mark in a dark rim: the rim carries it on a light panel, the mark on a dark one (Qt cannot
    // tell the panel's colour on every desktop).
    const Style style = ready ? Style::filled : Style::outlined;
    const double rim = std::max(1.0, size / 22.0);
    const QRectF box(rim, rim, size - 2 * rim, size - 2 * rim);
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            if (dx || dy)
                paint(painter, box.translated(dx * rim, dy * rim), style, QColor(0x1c, 0x20, 0x28, 235));
    paint(painter, box, style, QColor(0xf0, 0xf2, 0xf5));
    painter.end();
    return image;
}

QIcon trayIcon(bool ready) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(trayImage(size, ready)));
    return icon;
}

} // namespace pokescope::ui::BrandMark
