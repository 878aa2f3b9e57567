#include "responsivenessmath.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
constexpr double foreignProbeBytes = 5000;
constexpr double selfProbeBytes = 1000;
constexpr double msPerMinute = 60000;
} // namespace

double RpmParameters::timeLimit() const
{
    return std::max(timeLimitSecs, 2.0 * movingAverageIntervals * intervalSecs);
}

int RpmParameters::intervalLimit() const
{
    // The small allowance keeps 20 ÷ 0.1 at 200 intervals, not 199.
    return int(std::floor(timeLimit() / intervalSecs + 1e-9));
}

std::optional<double> trimmedMean(QList<double> values, double top)
{
    if (values.isEmpty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const auto kept = std::max<qsizetype>(1, qsizetype(std::ceil(double(values.size()) * (1 - top) - 1e-9)));
    return std::accumulate(values.begin(), values.begin() + kept, 0.0) / double(kept);
}

double standardDeviation(const QList<double> &values)
{
    if (values.size() < 2)
        return 0;
    const double n = double(values.size());
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / n;
    double squares = 0;
    for (double v : values)
        squares += (v - mean) * (v - mean);
    return std::sqrt(squares / n);
}

bool stableTail(const QList<double> &values, int count, double tolerance)
{
    if (count < 1 || values.size() < count)
        return false;
    return standardDeviation(values.last(count)) < tolerance * values.last();
}

RpmFigures rpmOf(const QList<ForeignTimes> &foreign, const QList<double> &self, bool tls, double top)
{
    QList<double> tcp, tlsTimes, http;
    for (const ForeignTimes &f : foreign) {
        tcp.append(f.tcp);
        http.append(f.http);
        if (f.tls)
            tlsTimes.append(*f.tls);
    }
    RpmFigures r;
    r.tcp = trimmedMean(tcp, top);
    r.http = trimmedMean(http, top);
    r.tls = trimmedMean(tlsTimes, top);
    r.self = trimmedMean(self, top);
    if (r.tcp && r.http && (!tls || r.tls)) {
        const double mean = tls ? (*r.tcp + *r.tls + *r.http) / 3 : (*r.tcp + *r.http) / 2;
        if (mean > 0)
            r.foreign = msPerMinute / mean;
    }
    if (!tls)
        r.tls.reset();
    if (r.self && *r.self > 0)
        r.loaded = msPerMinute / *r.self;
    if (r.foreign && r.loaded)
        r.rpm = (*r.foreign + *r.loaded) / 2;
    return r;
}

RpmBand bandOf(double rpm)
{
    if (rpm < 300)
        return RpmBand::poor;
    if (rpm < 1000)
        return RpmBand::fair;
    if (rpm < 6000)
        return RpmBand::good;
    return RpmBand::excellent;
}

int probePairsPerSecond(double bytesPerSecond, const RpmParameters &p)
{
    const double affordable = std::floor(p.probeShare * bytesPerSecond / (foreignProbeBytes + selfProbeBytes));
    return int(std::clamp(affordable, 1.0, double(std::max(1, p.maxProbesPerSecond))));
}

int WorkingConditions::connections() const
{
    return std::min(m_p.initialConnections + m_p.connectionsPerInterval * intervals(), m_p.maxConnections);
}

double WorkingConditions::goodput() const
{
    if (m_bytes.isEmpty())
        return 0;
    const auto window = m_bytes.last(std::min<qsizetype>(m_bytes.size(), m_p.movingAverageIntervals));
    const double bytes = double(std::accumulate(window.begin(), window.end(), std::int64_t(0)));
    return bytes / (double(window.size()) * m_p.intervalSecs);
}

void WorkingConditions::endInterval(std::int64_t bytes, std::optional<double> rpm)
{
    if (finished())
        return;
    m_bytes.append(bytes);
    const int window = m_p.movingAverageIntervals;
    if (!goodputSaturated()) {
        m_goodputs.append(goodput());
        if (stableTail(m_goodputs, window, m_p.tolerance))
            m_saturatedAt = intervals() - 1;
    }
    if (goodputSaturated() && rpm) {
        m_rpms.append(*rpm);
        m_stable = stableTail(m_rpms, window, m_p.tolerance);
    }
}

RpmConfidence WorkingConditions::confidence() const
{
    if (intervals() < m_p.movingAverageIntervals)
        return RpmConfidence::low;
    return m_stable ? RpmConfidence::high : RpmConfidence::medium;
}
