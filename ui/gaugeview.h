#pragma once
// GaugeView: the dial of the test screen. Shows the engine's gauge reading
// against its full scale as a phase-coloured arc over a grey 270-degree
// track, the reading in large digits, the unit (or "Ready") under it, and
// the ends of the scale at the bottom. Reads SpeedTest, never writes it.
// Only the arc animates (0.25 s ease-out whenever its fraction changes).
// Main thread only.
#include "phase.h"

#include <QString>
#include <QWidget>

class QVariantAnimation;
class SpeedTest;

class GaugeView : public QWidget {
    Q_OBJECT
public:
    // The dial's frame and its stroke; the widget adds half a stroke on
    // every side (and a pixel for smoothing) so the round caps are never
    // clipped.
    static constexpr int dial = 250;
    static constexpr int stroke = 18;
    static constexpr int side = dial + stroke + 2;

    explicit GaugeView(SpeedTest *test, QWidget *parent = nullptr);

    // Shows a reading; called from the engine's signals.
    void display(Phase phase, double value, double max);

    QString label() const { return m_label; }
    QString unitText() const { return m_unit; }
    QString scaleMaxText() const { return m_scaleMax; }
    QColor arcColor() const;
    // Target of the arc, 0..1 of the track; the drawn arc eases towards it.
    double arcFraction() const { return m_fraction; }
    double drawnFraction() const { return m_drawn; }
    bool isAnimating() const;

    // value / max clamped to 0..1; 0 for anything not above 0 (NaN too).
    static double fraction(double value, double max);
    static QString labelFor(Phase phase, double value);
    static QString unitFor(Phase phase);

    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    SpeedTest *m_test;
    Phase m_phase = Phase::idle;
    QString m_label;
    QString m_unit;
    QString m_scaleMax;
    double m_fraction = 0;
    double m_drawn = 0;
    QVariantAnimation *m_animation;
};
