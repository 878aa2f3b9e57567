// How long a cancel takes to end the transfers in flight, against the
// bundled server in process, with its bodies throttled so that a batch is
// surely still running when the cancel comes. Prints figures, never judges.
//
//   bench_cancel [RUNS]   (default 20 runs of each case)
//
// Cases:
// - SpeedTest::cancel() during the first download batch (6 transfers):
//   until the last transfer has ended (its curl handle freed on the I/O
//   thread), and until the test's task has unwound on the main thread and
//   the session's I/O thread has been joined.
// - HttpSession::invalidate() with 6 downloads or 4 uploads in flight: until
//   the last completion event has run on the I/O thread.
#include "httpdiagnostics.h"
#include "httpsession.h"
#include "speedtest.h"
#include "speedtestserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t throttle = 1'000'000; // bytes per second per body
constexpr auto settle = 200ms;               // bodies flowing before the cancel
constexpr int watchdogMs = 10'000;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Runs the event loop until done() or the watchdog; false on the watchdog.
bool spinUntil(const std::function<bool()> &done, int timeoutMs = watchdogMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(50);
    }
    return true;
}

std::size_t countRequests(const SpeedTestServer &server, const std::string &path)
{
    const auto records = server.requests();
    return std::size_t(std::count_if(records.begin(), records.end(),
                                     [&](const RequestRecord &r) { return r.path == path; }));
}

struct Figures {
    std::vector<double> values;
    int failures = 0;

    void print(const char *label) const
    {
        if (values.empty()) {
            std::printf("%-50s  no figure (%d runs failed)\n", label, failures);
            return;
        }
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        std::printf("%-50s  %.2f ms median, %.2f ms max (%zu runs%s)\n", label, v[v.size() / 2], v.back(),
                    v.size(), failures ? ", some failed" : "");
    }
};

// Records when each completion event runs, on the I/O thread.
class CompletionClock final : public TransferObserver {
public:
    ResponseDisposition onResponse(TransferId, long) override { return ResponseDisposition::allow; }
    void onDataReceived(TransferId, std::size_t) override {}
    void onBodySent(TransferId, std::int64_t, std::int64_t, std::int64_t) override {}
    void onComplete(TransferId, const std::optional<HttpError> &) override
    {
        std::lock_guard lock(m_mutex);
        ++m_completed;
        m_last = Clock::now();
        m_changed.notify_all();
    }

    std::optional<Clock::time_point> waitFor(int count)
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(watchdogMs), [&] { return m_completed >= count; }))
            return std::nullopt;
        return m_last;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_completed = 0;
    Clock::time_point m_last;
};

// One SpeedTest run cancelled in its first download batch.
void cancelSpeedTest(SpeedTestServer &server, Figures &ended, Figures &unwound)
{
    server.clearRequests();
    SpeedTest test(QString::fromStdString(server.url()));
    test.start();
    // The first batch is in flight once all six requests have arrived and
    // their six handles exist.
    const bool inFlight = spinUntil([&] {
        return test.phase() == Phase::download && countRequests(server, "/__down") >= 6
            && HttpDiagnostics::liveEasyHandles() == 6;
    });
    if (inFlight)
        spinUntil([] { return false; }, int(settle.count()));
    if (!inFlight || test.phase() != Phase::download) {
        ++ended.failures;
        ++unwound.failures;
        return;
    }

    const Clock::time_point start = Clock::now();
    test.cancel();
    // The handles go on the I/O thread; the main thread need not run for that.
    QElapsedTimer watchdog;
    watchdog.start();
    while (HttpDiagnostics::liveEasyHandles() > 0 && watchdog.elapsed() < watchdogMs)
        QThread::usleep(20);
    const Clock::time_point handlesGone = Clock::now();
    if (HttpDiagnostics::liveEasyHandles() == 0)
        ended.values.push_back(msBetween(start, handlesGone));
    else
        ++ended.failures;

    if (spinUntil([] { return HttpDiagnostics::liveIoThreads() == 0; }))
        unwound.values.push_back(msBetween(start, Clock::now()));
    else
        ++unwound.failures;
}

// Transfers straight on a session, ended by invalidate().
void invalidateSession(SpeedTestServer &server, bool upload, Figures &out)
{
    server.clearRequests();
    auto clock = std::make_shared<CompletionClock>();
    const int parallel = upload ? 4 : 6;
    auto session = HttpSession::create({.idleTimeout = 20s, .maxConnectionsPerHost = parallel, .observer = clock});
    const QByteArray body(upload ? 10'000'000 : 0, '\0');
    for (int k = 0; k < parallel; ++k) {
        HttpRequest request;
        if (upload) {
            request.url = server.url() + "/__up";
            request.method = "POST";
            request.headers = {{"Content-Type", "application/octet-stream"}};
            session->uploadTransfer(request, body).resume();
        } else {
            request.url = server.url() + "/__down?bytes=10000000";
            session->dataTransfer(request).resume();
        }
    }
    const std::string path = upload ? "/__up" : "/__down";
    if (!spinUntil([&] { return countRequests(server, path) >= std::size_t(parallel); })) {
        ++out.failures;
        session->invalidate();
        return;
    }
    spinUntil([] { return false; }, int(settle.count()));

    const Clock::time_point start = Clock::now();
    session->invalidate();
    if (const auto last = clock->waitFor(parallel))
        out.values.push_back(msBetween(start, *last));
    else
        ++out.failures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    SpeedTestServer server({.threads = 32});
    if (!server.start()) {
        std::fprintf(stderr, "bench_cancel: %s\n", server.errorString().c_str());
        return 1;
    }
    // Downloads and uploads crawl, so every batch is still running at the cancel.
    server.addFault({.path = "/__down", .throttleBytesPerSecond = throttle});
    server.addFault({.path = "/__up", .throttleBytesPerSecond = throttle});

    Figures ended, unwound, downloads, uploads;
    for (int i = 0; i < runs; ++i) {
        cancelSpeedTest(server, ended, unwound);
        invalidateSession(server, false, downloads);
        invalidateSession(server, true, uploads);
    }
    server.stop();

    ended.print("cancel(), 6 downloads in flight, until all ended");
    unwound.print("cancel(), until the test unwound, I/O thread joined");
    downloads.print("session invalidate(), 6 downloads, last completion");
    uploads.print("session invalidate(), 4 uploads, last completion");
    return 0;
}
