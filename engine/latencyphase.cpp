// The latency phase: one warm-up and 20 timed tiny requests, one at a time.
#include "speedtest.h"

#include "httpawait.h"
#include "httpsession.h"
#include "latencystats.h"
#include "transferids.h"

using namespace std::chrono_literals;

namespace {
constexpr int timedRequests = 20;
constexpr auto pauseBetween = 40ms;
constexpr auto pauseAtEnd = 400ms;
} // namespace

async::Task<void> SpeedTest::measureLatency()
{
    co_await async::checkCancelled();
    setPhase(Phase::latency);
    setStatus(runningStatus(Phase::latency));
    setSamples({});
    setGaugeValue(0);
    setGaugeMax(50);

    HttpSessionConfig config;
    config.idleTimeout = timeouts.latency;
    auto session = HttpSession::create(std::move(config));
    m_session = session; // the previous session is released, not invalidated

    (void)co_await ping(session); // warm-up: connection set-up, never counted

    QList<double> values;
    for (int i = 0; i < timedRequests; ++i) {
        co_await async::checkCancelled();
        const double ms = co_await ping(session);
        values.append(ms);
        appendSample({double(i + 1), ms});
        setGauge(ms, latencySteps);
        setLatencyMedian(median(values));
        double lo = values.first();
        double hi = values.first();
        for (double v : values) {
            if (v < lo)
                lo = v;
            if (v > hi)
                hi = v;
        }
        setLatencyMin(lo);
        setLatencyMax(hi);
        setJitter(jitterOf(values));
        co_await async::sleepFor(pauseBetween);
    }
    if (m_latencyMedian)
        setGaugeValue(*m_latencyMedian);
    co_await async::sleepFor(pauseAtEnd);
}

async::Task<double> SpeedTest::ping(std::shared_ptr<HttpSession> session)
{
    HttpRequest request;
    request.url = (m_origin + QStringLiteral("/__down?bytes=0&r=") + newRequestId()).toStdString();
    request.timeout = timeouts.request;
    const auto t0 = std::chrono::steady_clock::now();
    const HttpResponse response = co_await fetchResponse(*session, std::move(request));
    // Read back on the main thread: the time includes the hand-over.
    const auto t1 = std::chrono::steady_clock::now();
    if (response.status != 200)
        throw HttpError(HttpError::Code::badServerResponse, {}, {.httpStatus = response.status});
    co_return std::chrono::duration<double, std::milli>(t1 - t0).count();
}
