#include "latencystats.h"

#include <algorithm>
#include <cmath>

double medianOf(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    if (n % 2 == 1)
        return values[n / 2];
    return (values[n / 2 - 1] + values[n / 2]) * 0.5;
}

double jitterOf(const QList<double> &values)
{
    if (values.size() < 2)
        return 0;
    double sum = 0;
    for (qsizetype k = 0; k + 1 < values.size(); ++k)
        sum += std::abs(values[k + 1] - values[k]);
    return sum / double(values.size() - 1);
}
