#include "gaugerule.h"

double raisedGaugeMax(double currentMax, double value, const QList<double> &steps)
{
    if (!(currentMax * gaugeHeadroom < value))
        return currentMax;
    for (double step : steps) {
        if (value / gaugeHeadroom < step)
            return step;
    }
    return currentMax;
}
