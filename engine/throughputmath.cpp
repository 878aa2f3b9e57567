#include "throughputmath.h"

#include <algorithm>
#include <cmath>

double mbps(std::int64_t bytes, double secs)
{
    return double(bytes) * 8.0 / secs / 1'000'000.0;
}

StopReason stopReason(const QList<double> &batchRates, double lastBatchSecs, double elapsed,
                      int batchesDone, int batchCount)
{
    if (batchRates.size() >= 2) {
        const double rate = batchRates.last();
        const double prev = batchRates[batchRates.size() - 2];
        // Both zero: 0/0 is NaN and the comparison is false, as intended.
        if (std::abs(rate - prev) / std::max(rate, prev) < convergence)
            return StopReason::converged;
    }
    if (lastBatchSecs > slowBatchSecs)
        return StopReason::slowBatch;
    if (elapsed > phaseBudgetSecs)
        return StopReason::timeBudget;
    if (batchesDone >= batchCount)
        return StopReason::allBatches;
    return StopReason::none;
}

double reportedRate(const QList<Batch> &batches)
{
    std::int64_t bytes = 0;
    double secs = 0;
    for (qsizetype i = std::max<qsizetype>(0, batches.size() - 2); i < batches.size(); ++i) {
        bytes += batches[i].bytes;
        secs += batches[i].secs;
    }
    return mbps(bytes, secs);
}

std::optional<double> LiveWindow::tick(double t, std::int64_t b, const std::function<std::int64_t()> &readNow)
{
    const bool hadTwo = m_points.size() >= 2;
    m_points.append({t, b});
    if (hadTwo) {
        while (m_points.size() > 2 && t - m_points.first().t > liveWindowSecs)
            m_points.removeFirst();
    }
    const Point oldest = m_points.first();
    if (!(oldest.t < t))
        return std::nullopt;
    const std::int64_t now = readNow();
    return double(now - oldest.b) * 8.0 / (t - oldest.t) / 1'000'000.0;
}

std::chrono::milliseconds probeSpacing(std::optional<double> liveMbps)
{
    using namespace std::chrono_literals;
    // 100 ms, not more: a fast link's upload phase (two batches, under a
    // second at 200 Mbit/s) must still see the 5 probes a figure needs.
    constexpr auto shortest = 100ms, longest = 2000ms;
    // A probe's request and response with their headers: a full frame each
    // way is a generous bound for what one costs on the wire.
    constexpr double probeBits = 2 * 1514 * 8;
    constexpr double share = 0.01;
    if (!liveMbps || !(*liveMbps > 0))
        return longest;
    const double ms = probeBits / (share * *liveMbps * 1e6) * 1000;
    return ms >= double(longest.count()) ? longest : std::max(shortest, std::chrono::milliseconds(std::llround(ms)));
}
