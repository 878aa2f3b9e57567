#pragma once
// The colours every view shares, so a phase has one colour everywhere.
// Picked to stay distinct on light and dark palettes alike.
#include "phase.h"

#include <QColor>
#include <QPalette>

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

} // namespace Theme
