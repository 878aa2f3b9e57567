#pragma once
// The arithmetic of the responsiveness measurement (round trips per minute
// while the link is kept saturated), free of clocks and network: the
// trimmed mean, the RPM formulas, the band, the probe budget, and the
// interval-by-interval rule that ramps the load, declares the goodput
// saturated and the responsiveness stable, and grades the confidence.
#include <QList>

#include <cstdint>
#include <optional>

struct RpmParameters {
    double intervalSecs = 1.0;      // how often the rule is re-evaluated
    int movingAverageIntervals = 4; // intervals a moving average covers
    double trimmedTop = 0.05;       // share of the largest times the mean drops
    double tolerance = 0.05;        // standard deviation within 5 % is stable
    int initialConnections = 1;
    int connectionsPerInterval = 1;
    int maxConnections = 16;
    int maxProbesPerSecond = 100;   // pairs of one foreign and one self probe
    double probeShare = 0.05;       // of the measured goodput, at most
    double timeLimitSecs = 20;      // per direction; see timeLimit()

    // Never below two full moving-average windows, one to saturate the
    // goodput and one to see the responsiveness settle: high confidence
    // stays reachable whatever the interval.
    double timeLimit() const;
    // Whole intervals that fit in the time limit.
    int intervalLimit() const;
};

// Mean of the values left when the largest `top` share is dropped: of n
// values the smallest ceil(n × (1 − top)) stay. Absent for no values.
std::optional<double> trimmedMean(QList<double> values, double top);

// Population standard deviation (divides by n); 0 for fewer than 2 values.
double standardDeviation(const QList<double> &values);

// Whether the last `count` values agree: at least that many, and their
// standard deviation below `tolerance` × the last one.
bool stableTail(const QList<double> &values, int count, double tolerance);

// One foreign probe: a new connection's handshake, TLS set-up per round
// trip (absent without TLS) and the request on it, in milliseconds.
struct ForeignTimes {
    double tcp = 0;
    std::optional<double> tls;
    double http = 0;
};

struct RpmFigures {
    std::optional<double> tcp, tls, http, self; // trimmed means, ms
    std::optional<double> foreign, loaded, rpm; // round trips per minute
};

// Foreign = 60000 ÷ the mean of the trimmed means of its parts (three with
// TLS, two without), Loaded = 60000 ÷ the trimmed mean of the self probes,
// RPM = their mean. RPM needs both; a missing kind leaves it absent.
RpmFigures rpmOf(const QList<ForeignTimes> &foreign, const QList<double> &self, bool tls,
                 double top = RpmParameters().trimmedTop);

enum class RpmBand { poor, fair, good, excellent };
// poor below 300, fair below 1000, good below 6000, excellent from 6000.
RpmBand bandOf(double rpm);

enum class RpmConfidence { low, medium, high };

// Probe pairs a second that stay within probeShare of `bytesPerSecond`,
// counting 5000 bytes for a foreign probe (handshake and all) and 1000 for
// a self probe; at least 1, at most maxProbesPerSecond.
int probePairsPerSecond(double bytesPerSecond, const RpmParameters &p);

// The rule, fed one interval at a time.
class WorkingConditions {
public:
    explicit WorkingConditions(RpmParameters p = {}) : m_p(p) {}

    // Load connections wanted in the interval about to start: the initial
    // ones, then more each interval, up to the maximum.
    int connections() const;

    // Ends an interval: the bytes the load moved in it and, when any probe
    // of the last window answered, the responsiveness they give. The
    // goodput is tracked until saturated, then the responsiveness.
    void endInterval(std::int64_t bytes, std::optional<double> rpm);

    int intervals() const { return int(m_bytes.size()); }
    // Bytes per second over the last window (fewer intervals at the start).
    double goodput() const;
    bool goodputSaturated() const { return m_saturatedAt >= 0; }
    // The interval (from 0) at which the goodput was declared saturated.
    int saturatedAt() const { return m_saturatedAt; }
    bool responsivenessStable() const { return m_stable; }
    // Stable, or out of time.
    bool finished() const { return m_stable || intervals() >= m_p.intervalLimit(); }
    RpmConfidence confidence() const;

private:
    RpmParameters m_p;
    QList<std::int64_t> m_bytes;
    QList<double> m_goodputs; // moving averages, one per interval
    QList<double> m_rpms;     // from the saturation on
    int m_saturatedAt = -1;
    bool m_stable = false;
};
