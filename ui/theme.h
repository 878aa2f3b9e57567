#pragma once
// The colours and text styles every view shares, so a phase has one colour
// everywhere and type sizes stay in proportion to the user's chosen font.
// Colours are picked to stay distinct and readable on light and dark
// palettes alike.
// Main thread only (fonts read the application font).
#include "phase.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QFontInfo>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace Theme {

// The named hues. Light palettes get darker variants of the same hues, so
// text in them keeps at least 3:1 contrast against the window and the tints
// drawn behind it; dark palettes get the bright ones.
enum class Hue { orange, blue, purple, green, red };

inline bool isDark(const QPalette &palette) { return palette.color(QPalette::Window).lightness() < 128; }

inline QColor color(Hue hue, const QPalette &palette = QGuiApplication::palette())
{
    const bool dark = isDark(palette);
    switch (hue) {
    case Hue::orange: return dark ? QColor(0xFF, 0x95, 0x00) : QColor(0xA6, 0x61, 0x00);
    case Hue::blue: return dark ? QColor(0x0A, 0x84, 0xFF) : QColor(0x08, 0x63, 0xBF);
    case Hue::purple: return dark ? QColor(0xB7, 0x63, 0xE1) : QColor(0x8C, 0x42, 0xB2);
    case Hue::green: return dark ? QColor(0x30, 0xB0, 0x50) : QColor(0x26, 0x8D, 0x40);
    case Hue::red: break;
    }
    return dark ? QColor(0xFF, 0x5A, 0x50) : QColor(0xBF, 0x2C, 0x24);
}

inline QColor orange(const QPalette &p = QGuiApplication::palette()) { return color(Hue::orange, p); }
inline QColor blue(const QPalette &p = QGuiApplication::palette()) { return color(Hue::blue, p); }
inline QColor purple(const QPalette &p = QGuiApplication::palette()) { return color(Hue::purple, p); }
inline QColor green(const QPalette &p = QGuiApplication::palette()) { return color(Hue::green, p); }
inline QColor red(const QPalette &p = QGuiApplication::palette()) { return color(Hue::red, p); }

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

// The keyboard focus ring of a control filled with the highlight, where the
// style's own ring (drawn in the highlight) would not show: a 2-pixel line
// just inside the control, in the colour of the text on it.
inline void paintFocusRing(QPainter &p, const QRect &control, const QColor &color)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(control).adjusted(4, 4, -4, -4), 3, 3);
    p.restore();
}

// Orange latency, blue download, purple upload, green otherwise.
inline Hue phaseHue(Phase phase)
{
    switch (phase) {
    case Phase::latency: return Hue::orange;
    case Phase::download: return Hue::blue;
    case Phase::upload: return Hue::purple;
    case Phase::idle:
    case Phase::done: break;
    }
    return Hue::green;
}

inline QColor phaseColor(Phase phase, const QPalette &p = QGuiApplication::palette())
{
    return color(phaseHue(phase), p);
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
