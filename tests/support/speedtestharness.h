#pragma once
// Shared by the engine and screen tests: a SpeedTest whose path monitor the
// test drives, pointed at the bundled server on 127.0.0.1 (ephemeral port)
// or at an origin the test names; and which named hue a drawn colour is.
#include "fakepathmonitor.h"
#include "speedtest.h"
#include "speedtestserver.h"

#include <QColor>
#include <QString>
#include <QTest>

#include <array>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;

struct SpeedTestHarness {
    // Nothing listens here: for an engine that a screen only reads.
    static inline const QString unheard = QStringLiteral("http://127.0.0.1:1");

    SpeedTestServer server;
    std::shared_ptr<FakePathMonitor::Control> network = std::make_shared<FakePathMonitor::Control>();
    std::unique_ptr<SpeedTest> test;
    int finishCalls = 0;

    explicit SpeedTestHarness(SpeedTestServer::Options options = {}) : server(std::move(options)) {}

    // Starts the server and points the test at it; given an origin, points
    // the test there and starts nothing. False when the server cannot listen.
    bool open(const QString &origin = {})
    {
        if (origin.isEmpty() && !server.start())
            return false;
        test = std::make_unique<SpeedTest>(origin.isEmpty() ? this->origin() : origin,
                                           std::make_unique<FakePathMonitor>(network));
        test->onFinish = [this](const TestResult &) { ++finishCalls; };
        return true;
    }

    QString origin() const { return QString::fromStdString(server.url()); }

    // Reports the path and waits until the engine has taken it in.
    bool setOnline(bool online)
    {
        network->report(online);
        return QTest::qWaitFor([&] { return test->isOnline() == online; }, 5'000);
    }
};

// Runs the event loop until pred() holds, at most timeoutMs.
template <typename Pred> bool eventually(Pred pred, int timeoutMs = 20'000)
{
    return QTest::qWaitFor(pred, timeoutMs);
}

inline const QString offlineMessage =
    QStringLiteral("You appear to be offline. Check your Wi-Fi or Ethernet connection and try again.");
inline const QString rejectedMessage =
    QStringLiteral("The speed test server rejected the request. Please try again in a moment.");

// A colour by the name a person would give it, from its hue angle alone, so
// that a screen test need not take its expected shade from the palette code
// it checks. Greys and transparent colours have none.
enum class Hue { none, red, orange, green, blue, purple };
Q_DECLARE_METATYPE(Hue)

inline char *toString(Hue hue)
{
    return qstrdup(std::array{"none", "red", "orange", "green", "blue", "purple"}[std::size_t(hue)]);
}

inline Hue hueOf(const QColor &c)
{
    const int h = c.hsvHue();
    if (c.alpha() == 0 || c.hsvSaturation() < 64 || h < 0)
        return Hue::none;
    return h < 15 ? Hue::red : h < 60 ? Hue::orange : h < 180 ? Hue::green : h < 250 ? Hue::blue : h < 330 ? Hue::purple : Hue::red;
}
