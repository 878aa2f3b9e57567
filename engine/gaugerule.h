#pragma once
// The gauge's scale rule: the maximum only rises, to the smallest step that
// keeps the value below 92 % of it.
#include <QList>

inline constexpr double gaugeHeadroom = 0.92;

// The maximum after showing `value` on a gauge whose maximum is `currentMax`.
// Unchanged when the value fits (or is NaN) or no step is large enough.
double raisedGaugeMax(double currentMax, double value, const QList<double> &steps);
