#include "ui/Theme.hpp"

#include <QApplication>
#include <QBoxLayout>
#include <QPalette>
#include <QPushButton>
#include <QStyleFactory>

namespace pokescope::ui::Theme {

QColor background() { return QColor(0x16, 0x18, 0x1d); }
QColor surface() { return QColor(0x20, 0x23, 0x2a); }
QColor raised() { return QColor(0x2c, 0x30, 0x39); }
QColor text() { return QColor(0xec, 0xee, 0xf2); }
QColor secondaryText() { return QColor(0xa4, 0xab, 0xb8); }
QColor faint() { return QColor(0x5c, 0x63, 0x70); }
QColor accent() { return QColor(0x3d, 0xa5, 0xff); }
QColor success() { return QColor(0x3c, 0xcb, 0x7f); }
QColor warning() { return QColor(0xf2, 0xb1, 0x3b); }
QColor danger() { return QColor(0xff, 0x5f, 0x57); }

void apply(QApplication& application) {
    application.setStyle(QStyleFactory::create("Fusion"));
    QPalette palette;
    palette.setColor(QPalette::Window, background());
    palette.setColor(QPalette::WindowText, text());
    palette.setColor(QPalette::Base, raised());
    palette.setColor(QPalette::AlternateBase, surface());
    palette.setColor(QPalette::Text, text());
    palette.setColor(QPalette::PlaceholderText, faint());
    palette.setColor(QPalette::Button, raised());
    palette.setColor(QPalette::ButtonText, text());
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, accent());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, surface());
    palette.setColor(QPalette::ToolTipText, text());
    palette.setColor(QPalette::Link, accent());
    palette.setColor(QPalette::Disabled, QPalette::Text, faint());
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, faint());
    palette.setColor(QPalette::Disabled, QPalette::WindowText, faint());
    application.setPalette(palette);
    application.setStyleSheet(QStringLiteral(
        "QFrame#card { background: %1; border-radius: 12px; }"
        "QLabel#cardHeading { color: %2; font-weight: 600; letter-spacing: 1px; }"
        "QPushButton { background: %3; border: none; border-radius: 7px; padding: 6px 14px; }"
        "QPushButton:hover { background: %4; }"
        "QPushButton:disabled { color: %5; }"
        "QPushButton[primary=\"true\"] { background: %6; color: white; font-weight: 600; }"
        "QPushButton[primary=\"true\"]:disabled { background: %3; color: %5; }"
        "QPushButton[flat=\"true\"] { background: transparent; color: %6; padding: 4px 6px; }"
        "QPlainTextEdit, QTextEdit { background: %7; border: none; border-radius: 8px; }"
        "QTabBar::tab { background: %3; padding: 6px 14px; margin-right: 2px; border-radius: 6px; }"
        "QTabBar::tab:selected { background: %6; color: white; }")
                                 .arg(surface().name(), secondaryText().name(), raised().name(),
                                      raised().lighter(125).name(), faint().name(), accent().name(),
                                      background().name()));
}

QFrame* card(const QString& title, QWidget* parent, QBoxLayout** content) {
    auto* frame = new QFrame(parent);
    frame->setObjectName("card");
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(16, 14, 16, 16);
    layout->setSpacing(8);
    if (!title.isEmpty()) {
        auto* label = new QLabel(title.toUpper(), frame);
        label->setObjectName("cardHeading");
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.85);
        label->setFont(font);
        layout->addWidget(label);
    }
    *content = layout;
    return frame;
}

QLabel* heading(const QString& text, int pointSize, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSize(pointSize);
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

QLabel* secondary(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondaryText());
    label->setPalette(palette);
    return label;
}

QString dot(const QColor& colour) { return QStringLiteral("<span style=\"color:%1\">●</span>&nbsp;").arg(colour.name()); }

void makePrimary(QPushButton* button) { button->setProperty("primary", true); }

} // namespace pokescope::ui::Theme
