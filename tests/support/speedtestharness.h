#pragma once
// A SpeedTest pointed at the bundled server on 127.0.0.1 (ephemeral port),
// with a path monitor the test drives.
#include "fakepathmonitor.h"
#include "speedtest.h"
#include "speedtestserver.h"

#include <QString>

#include <memory>
#include <optional>

struct SpeedTestHarness {
    SpeedTestServer server;
    std::shared_ptr<FakePathMonitor::Control> network = std::make_shared<FakePathMonitor::Control>();
    std::unique_ptr<SpeedTest> test;
    int finishCalls = 0;
    std::optional<TestResult> finishedWith;

    explicit SpeedTestHarness(SpeedTestServer::Options options = {}) : server(std::move(options)) {}

    // False when the server cannot listen. The test asks `origin` if given.
    bool open(const QString &origin = {})
    {
        if (!server.start())
            return false;
        test = std::make_unique<SpeedTest>(origin.isEmpty() ? QString::fromStdString(server.url()) : origin,
                                           std::make_unique<FakePathMonitor>(network));
        test->onFinish = [this](const TestResult &r) {
            ++finishCalls;
            finishedWith = r;
        };
        return true;
    }

    std::size_t requestCount(const std::string &path = {}) const
    {
        std::size_t n = 0;
        for (const RequestRecord &r : server.requests())
            n += path.empty() || r.path == path;
        return n;
    }
};

inline const QString offlineMessage =
    QStringLiteral("You appear to be offline. Check your Wi-Fi or Ethernet connection and try again.");
inline const QString rejectedMessage =
    QStringLiteral("The speed test server rejected the request. Please try again in a moment.");
