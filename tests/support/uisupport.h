#pragma once
// Shared by the window and screen tests: a local speed-test server on
// loopback, an engine pointed at it with a hand-driven path monitor, and a
// watchdog that fails a test instead of letting it hang.
#include "fakepathmonitor.h"
#include "speedtest.h"
#include "speedtestserver.h"

#include <QtTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace std::chrono_literals;

// Aborts the whole test program if one test function runs too long; the
// bounded waits below normally fail long before.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = 90s)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [] {
            std::fprintf(stderr, "watchdog: test hung, aborting\n");
            std::abort();
        });
        m_timer.start(limit);
    }

private:
    QTimer m_timer;
};

// Runs the event loop until pred() holds, at most timeoutMs.
template <typename Pred> bool eventually(Pred pred, int timeoutMs = 20'000)
{
    return QTest::qWaitFor(pred, timeoutMs);
}

struct LocalServer {
    SpeedTestServer server;
    LocalServer()
    {
        if (!server.start())
            qFatal("local server: %s", server.errorString().c_str());
    }
    QString origin() const { return QString::fromStdString(server.url()); }
};

// An engine against the local server whose connectivity the test sets.
struct Engine {
    std::shared_ptr<FakePathMonitor::Control> net = std::make_shared<FakePathMonitor::Control>();
    std::unique_ptr<SpeedTest> test;

    explicit Engine(const QString &origin)
        : test(std::make_unique<SpeedTest>(origin, std::make_unique<FakePathMonitor>(net))) {}

    // Reports the path and waits until the engine has taken it in.
    bool setOnline(bool online)
    {
        net->report(online);
        return eventually([&] { return test->isOnline() == online; }, 5'000);
    }
};

// Downloads or uploads crawl, so that a phase lasts.
inline void throttle(SpeedTestServer &s, const char *path, std::int64_t bytesPerSecond)
{
    FaultRule r;
    r.path = path;
    r.throttleBytesPerSecond = bytesPerSecond;
    s.addFault(r);
}
