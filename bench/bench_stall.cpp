// How long the main thread's event loop goes without serving a due event
// while one whole test runs against the bundled server in process. A 1 ms
// precise timer ticks throughout; every gap between two ticks beyond its
// interval is time the loop spent elsewhere (our code, painting, Qt).
// Prints figures, never judges.
//
//   bench_stall           the engine alone (SpeedTest, no window)
//   bench_stall --window  the whole window on the offscreen platform, as the
//                         program runs it, so painting counts too
#include "contentview.h"
#include "quorvelapp.h"
#include "speedtest.h"
#include "speedtestserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int tickMs = 1;
constexpr int watchdogMs = 180'000;
constexpr double frameMs = 16.7; // one frame at 60 Hz

// Gaps between consecutive ticks, in milliseconds, and where the longest
// one ended: seconds since the start and the engine's phase then.
class TickGaps {
public:
    explicit TickGaps(std::function<QString()> where) : m_where(std::move(where)) {}

    void start()
    {
        m_clock.start();
        m_last = 0;
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(tickMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const double gap = double(now - m_last) / 1e6;
            m_gaps.push_back(gap);
            if (gap > m_longest) {
                m_longest = gap;
                m_longestAt = double(now) / 1e9;
                m_longestWhere = m_where();
            }
            m_last = now;
        });
        m_timer.start();
    }
    void stop() { m_timer.stop(); }

    void print() const
    {
        if (m_gaps.empty()) {
            std::printf("no ticks recorded\n");
            return;
        }
        std::vector<double> g = m_gaps;
        std::sort(g.begin(), g.end());
        const auto at = [&](double q) { return g[std::min(g.size() - 1, std::size_t(q * double(g.size())))]; };
        const auto overFrame = std::count_if(g.begin(), g.end(), [](double v) { return v > frameMs; });
        std::printf("longest gap between 1 ms ticks    %8.2f ms, ended %.2f s in, %s\n", g.back(), m_longestAt,
                    qPrintable(m_longestWhere));
        std::printf("99.9th percentile gap             %8.2f ms\n", at(0.999));
        std::printf("99th percentile gap               %8.2f ms\n", at(0.99));
        std::printf("gaps longer than a 60 Hz frame    %8lld of %zu ticks\n", static_cast<long long>(overFrame),
                    g.size());
    }

private:
    std::function<QString()> m_where;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<double> m_gaps;
    double m_longest = 0;
    double m_longestAt = 0;
    QString m_longestWhere;
};

} // namespace

int main(int argc, char **argv)
{
    const bool window = argc > 1 && std::strcmp(argv[1], "--window") == 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    SpeedTestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "bench_stall: %s\n", server.errorString().c_str());
        return 1;
    }
    const QString origin = QString::fromStdString(server.url());

    QTemporaryDir dir; // the window's history file goes here, not the user's
    std::unique_ptr<QuorvelApp> quorvel;
    std::unique_ptr<SpeedTest> engineOnly;
    SpeedTest *test = nullptr;
    if (window) {
        quorvel = std::make_unique<QuorvelApp>(
            QuorvelApp::Options{origin, nullptr, dir.filePath(QStringLiteral("history.json"))});
        quorvel->window()->show();
        test = quorvel->test();
    } else {
        engineOnly = std::make_unique<SpeedTest>(origin);
        test = engineOnly.get();
    }

    // The phase that was current when the gap ended: the stall happened in
    // it or at its start.
    TickGaps gaps([&test] { return QStringLiteral("while \"%1\"").arg(test->status()); });
    QElapsedTimer wall;
    bool finished = false;
    double seconds = 0;
    QString failure;
    QObject::connect(test, &SpeedTest::phaseChanged, &app, [&] {
        if (test->phase() == Phase::done) {
            finished = true;
            seconds = double(wall.nsecsElapsed()) / 1e9;
            // A little longer, so the work that follows the result counts too.
            QTimer::singleShot(200, &app, [&] {
                gaps.stop();
                app.quit();
            });
        } else if (test->phase() == Phase::idle && wall.isValid()) {
            failure = test->errorMessage().value_or(test->status());
            gaps.stop();
            app.quit();
        }
    });
    QTimer::singleShot(watchdogMs, &app, [&] {
        std::fprintf(stderr, "bench_stall: the test did not finish in %d s\n", watchdogMs / 1000);
        app.exit(1);
    });
    // Start once the window has shown its first frame, so start-up work is
    // not counted as a stall of the test.
    QTimer::singleShot(window ? 500 : 0, &app, [&] {
        wall.start();
        gaps.start();
        test->start();
    });
    const int rc = app.exec();
    quorvel.reset();
    engineOnly.reset();
    server.stop();

    if (rc != 0 || !finished) {
        std::fprintf(stderr, "bench_stall: the test did not complete: %s\n", qPrintable(failure));
        return 1;
    }
    std::printf("whole test took                   %8.1f s\n", seconds);
    gaps.print();
    return 0;
}
