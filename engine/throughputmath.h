#pragma once
// The arithmetic of the transfer phases, free of clocks and network: batch
// rates, when to stop, the reported figure, and the live sampler's window.
// Rates are megabits per second: bytes x 8 / seconds / 1,000,000.
#include <QList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

struct Batch {
    std::int64_t bytes = 0;
    double secs = 0;
};

inline constexpr double minBatchSecs = 0.001;
inline constexpr double convergence = 0.08;
inline constexpr double slowBatchSecs = 6.0;
inline constexpr double phaseBudgetSecs = 20.0;
inline constexpr double liveWindowSecs = 0.6;
// A transfer of a batch cut at the request limit that moved less than this
// on average fails the batch as timed out.
inline constexpr double floorBytesPerSecond = 1000.0;

double mbps(std::int64_t bytes, double secs);

enum class StopReason { none, converged, slowBatch, timeBudget, allBatches };

// Checked after each batch, in this order: the last two rates within 8 % of
// the larger, the batch over 6 s, the phase over 20 s, no sizes left.
// `batchesDone` counts the finished batches, `elapsed` is read after them.
StopReason stopReason(const QList<double> &batchRates, double lastBatchSecs, double elapsed,
                      int batchesDone, int batchCount);

// Byte-weighted rate of the last two batches (or the only one).
double reportedRate(const QList<Batch> &batches);

// How long after a latency probe under load started the next may start:
// 100 ms, longer where a probe would be more than 1 % of the live rate
// (Mbps; absent before the phase's first live point), at most 2 s.
std::chrono::milliseconds probeSpacing(std::optional<double> liveMbps);

// The live sampler's window of (seconds, counter) points.
class LiveWindow {
public:
    explicit LiveWindow(double t0) { m_points.append({t0, 0}); }

    // Adds a tick read at t with counter b and trims points older than the
    // span, keeping at least two. Returns the rate from the oldest kept
    // point to a fresh counter reading, when the window spans any time.
    std::optional<double> tick(double t, std::int64_t b, const std::function<std::int64_t()> &readNow);

    struct Point {
        double t;
        std::int64_t b;
    };
    const QList<Point> &points() const { return m_points; }

private:
    QList<Point> m_points;
};
