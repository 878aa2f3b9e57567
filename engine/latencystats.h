#pragma once
// Statistics of the timed latency requests, in measurement order.
#include <QList>

// Middle element, or the mean of the middle pair; values must not be empty.
double medianOf(QList<double> values);
// Mean absolute difference of consecutive values; 0 for fewer than two.
double jitterOf(const QList<double> &values);
