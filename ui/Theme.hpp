// The windows' look: one dark palette, the colours the views use by name, and a few building blocks
// (cards, section headings, status capsules) so that every view reads the same way.
#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QString>

class QApplication;
class QBoxLayout;
class QPushButton;

namespace pokescope::ui::Theme {

QColor background();   // window
QColor surface();      // cards
QColor raised();       // inputs and buttons on cards
QColor text();
QColor secondaryText();
QColor faint();
QColor accent();       // the brand colour, primary buttons
QColor success();
QColor warning();
QColor danger();

// Fusion style with the dark palette and the style sheet the views rely on.
void apply(QApplication& application);

// A rounded card with a heading; content goes into the returned layout.
QFrame* card(const QString& heading, QWidget* parent, QBoxLayout** content);
QLabel* heading(const QString& text, int pointSize, QWidget* parent = nullptr);
QLabel* secondary(const QString& text, QWidget* parent = nullptr);
// A line of text with a coloured dot before it (state at a glance).
QString dot(const QColor& colour);
// Primary buttons are filled with the brand colour.
void makePrimary(QPushButton* button);

} // namespace pokescope::ui::Theme
