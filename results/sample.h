#pragma once
// One point of the live graph: during latency, request number and
// milliseconds; during a transfer phase, seconds since the phase began and
// megabits per second. A point is identified by its x.
#include <QList>

struct Sample {
    double x = 0;
    double y = 0;

    double id() const { return x; }
};

using SampleList = QList<Sample>;
