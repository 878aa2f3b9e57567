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
#include <QIcon>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace Theme {

// The named hues. Light palettes get darker variants of the same hues, dark
// palettes the bright ones; text in a hue goes through readable() against
// what is painted behind it.
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

// WCAG 2 contrast ratio of two opaque colours, 1 to 21.
inline double contrastRatio(const QColor &a, const QColor &b)
{
    const auto lum = [](const QColor &c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = lum(a), lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// over at opacity laid on an opaque under.
inline QColor blend(const QColor &under, const QColor &over, double opacity)
{
    const auto mix = [opacity](int u, int o) { return int(std::lround(u + (o - u) * opacity)); };
    return QColor(mix(under.red(), over.red()), mix(under.green(), over.green()), mix(under.blue(), over.blue()));
}

// The shade of colour nearest to it that reads at ratio on background:
// darker on a light background, lighter on a dark one, so the hue stays.
inline QColor readable(const QColor &colour, const QColor &background, double ratio = 4.5)
{
    const QColor toward = background.lightness() >= 128 ? QColor(Qt::black) : QColor(Qt::white);
    QColor shade = colour.toRgb();
    for (int step = 1; step <= 20 && contrastRatio(shade, background) < ratio; ++step)
        shade = blend(colour, toward, step * 0.05);
    return shade;
}

// The tints that the cards, the placeholder and the banners lay on the
// window; text on them is made readable against the tinted colour.
constexpr double panelTint = 0.08;
constexpr double bannerTint = 0.15;

// Muted text: the palette's text colour blended towards the window
// background, as far as it still reads at 4.5:1 on the grey panels.
inline QColor secondary(const QPalette &palette)
{
    const QColor fg = palette.color(QPalette::WindowText);
    const QColor bg = palette.color(QPalette::Window);
    const QColor muted = blend(bg, fg, 0.55);
    return readable(muted, blend(bg, muted, panelTint));
}

inline QColor withAlpha(QColor c, double opacity)
{
    c.setAlphaF(float(opacity));
    return c;
}

// The filled look of the default action and the chosen tab: the palette's
// highlight with its highlighted text where that reads at 4.5:1, else a
// darker (or, for a dark label, lighter) shade of the highlight that does.
struct Accent {
    QColor fill;
    QColor text;
};

inline Accent accent(const QPalette &palette, QPalette::ColorGroup group = QPalette::Active)
{
    const QColor fill = palette.color(group, QPalette::Highlight);
    const QColor text = palette.color(group, QPalette::HighlightedText);
    return {readable(fill, text), text};
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

// The desktop icon theme's symbolic icon of that name ("user-trash" for
// "user-trash-symbolic"), in one colour like the text beside it; null when
// the theme has none, and the caller draws its own.
inline QPixmap symbolicIcon(const QString &name, int size, const QColor &color, qreal devicePixelRatio)
{
    const QIcon icon = QIcon::fromTheme(name + QStringLiteral("-symbolic"));
    if (icon.isNull())
        return {};
    QPixmap pm = icon.pixmap(QSize(size, size), devicePixelRatio);
    if (pm.isNull())
        return pm;
    QPainter p(&pm);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(QRect(QPoint(), pm.size()), color);
    return pm;
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
    case TextStyle::subheadline: return sized(std::max(body * 11 / 13, 11.0));
    case TextStyle::caption: return sized(std::max(body * 10 / 13, 11.0));
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
