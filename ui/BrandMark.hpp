// The product's mark, drawn once as vectors: a phone with the pointer's ring on its screen, the ring's
// cross hairs reaching past it. The window icon, the tray item (filled while the phone can be driven,
// outlined otherwise) and the icon set are all this drawing.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRectF>

class QPainter;

namespace pokescope::ui::BrandMark {

enum class Style { filled, outlined };

// Draws the mark centred in `rect` (keeping its proportions) in `colour`.
void paint(QPainter& painter, const QRectF& rect, Style style, const QColor& colour);

// The application icon's artwork: the mark on a rounded tile, `pixels` wide and high.
QImage iconImage(int pixels);
QIcon applicationIcon();
// The tray item: filled while the Bluetooth link is ready, outlined in every other state; a light mark in
// a dark rim, so that it reads on light and dark panels alike.
QImage trayImage(int size, bool ready);
QIcon trayIcon(bool ready);

} // namespace pokescope::ui::BrandMark
