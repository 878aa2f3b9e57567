#pragma once
// The colours and text styles every view shares, so a phase has one colour
// everywhere and type sizes stay in proportion to the user's chosen font.
// Colours are picked to stay distinct on light and dark palettes alike.
// Main thread only (fonts read the application font).
#include "phase.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QFontInfo>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace Theme {

inline QColor orange() { return QColor(0xFF, 0x95, 0x00); }
inline QColor blue() { return QColor(0x0A, 0x84, 0xFF); }
inline QColor purple() { return QColor(0xAF, 0x52, 0xDE); }
inline QColor green() { return QColor(0x30, 0xB0, 0x50); }
inline QColor red() { return QColor(0xFF, 0x3B, 0x30); }

// Muted text: the palette's text colour blended halfway to the window
// background, so it follows light and dark themes.
inline QColor secondary(const QPalette &palette)
{
    const QColor fg = palette.color(QPalette::WindowText);
    const QColor bg = palette.color(QPalette::Window);
    return QColor((fg.red() * 55 + bg.red() * 45) / 100, (fg.green() * 55 + bg.green() * 45) / 100,
                  (fg.blue() * 55 + bg.blue() * 45) / 100);
}

inline QColor withAlpha(QColor c, double opacity)
{
    c.setAlphaF(float(opacity));
    return c;
}

// Orange latency, blue download, purple upload, green otherwise.
inline QColor phaseColor(Phase phase)
{
    switch (phase) {
    case Phase::latency: return orange();
    case Phase::download: return blue();
    case Phase::upload: return purple();
    case Phase::idle:
    case Phase::done: break;
    }
    return green();
}

// Text styles, sized relative to the application font, which stands for
// the 13-pixel body text the layout was drawn around.
enum class TextStyle { body, title2, title3, headline, subheadline, caption };

inline QFont font(TextStyle style)
{
    QFont f = QApplication::font();
    const double body = std::max(QFontInfo(f).pixelSize(), 10);
    auto sized = [&](double px, int weight = QFont::Normal) {
        f.setPixelSize(int(std::lround(px)));
        f.setWeight(QFont::Weight(weight));
        return f;
    };
    switch (style) {
    case TextStyle::body: return sized(body);
    case TextStyle::title2: return sized(body * 17 / 13);
    case TextStyle::title3: return sized(body * 15 / 13);
    case TextStyle::headline: return sized(body, QFont::DemiBold);
    case TextStyle::subheadline: return sized(std::max(body * 11 / 13, 10.0));
    case TextStyle::caption: return sized(std::max(body * 10 / 13, 10.0));
    }
    return f;
}

// The large bold figures of the gauge and the cards: a fixed pixel size,
// since the dial and the cards are laid out in fixed pixels too.
inline QFont figureFont(int pixelSize)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(QFont::Bold);
    return f;
}

} // namespace Theme
