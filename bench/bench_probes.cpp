// bench_probes: one whole test against --server, with the latency probes
// under load on, or off (--no-probes: the engine's option, which no product
// program offers). Prints one line when the test is done:
//   DOWNLOAD UPLOAD LATENCY DOWNLOAD_LATENCY UPLOAD_LATENCY DOWN_FROM DOWN_TO UP_FROM UP_TO
//   COUNTED_DOWN COUNTED_UP FAILED_DOWN FAILED_UP
// Mbit/s and milliseconds ("nan" where absent), then per transfer phase
// when its transfers ran, in seconds since the epoch (CLOCK_REALTIME, the
// clock of `ping -D`): from one live-sampling interval before the phase's
// first live point to the moment its figure was published; then per phase
// the probes counted and those that failed. Exits 1 when the test fails.
#include "speedtest.h"

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString server;
    bool probes = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc)
            server = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--no-probes") == 0)
            probes = false;
        else
            server.clear(), i = argc;
    }
    if (server.isEmpty()) {
        std::fputs("usage: bench_probes --server URL [--no-probes]\n", stderr);
        return 2;
    }
    SpeedTest test(server);
    test.probesUnderLoad = probes;
    // The sampler draws its first point 0.12 s into a batch.
    constexpr double sampleInterval = 0.12;
    double window[2][2] = {{NAN, NAN}, {NAN, NAN}};
    QObject::connect(&test, &SpeedTest::samplesChanged, &app, [&] {
        const bool upload = test.phase() == Phase::upload;
        if ((upload || test.phase() == Phase::download) && test.samples().size() == 1 && std::isnan(window[upload][0]))
            window[upload][0] = wallSeconds() - sampleInterval;
    });
    int counted[2] = {0, 0};
    QObject::connect(&test, &SpeedTest::probeMeasured, &app, [&](Phase phase, Sample) { ++counted[phase == Phase::upload]; });
    QObject::connect(&test, &SpeedTest::downloadChanged, &app, [&] { window[0][1] = wallSeconds(); });
    QObject::connect(&test, &SpeedTest::uploadChanged, &app, [&] { window[1][1] = wallSeconds(); });
    QObject::connect(&test, &SpeedTest::ended, &app, [&](const TestOutcome &outcome) {
        if (outcome.kind != TestOutcome::Kind::done) {
            std::fprintf(stderr, "bench_probes: %s\n", qPrintable(outcome.message));
            app.exit(1);
            return;
        }
        const TestResult &r = *outcome.result;
        std::printf("%.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %d %d %d %d\n", r.download, r.upload,
                    r.latencyMedian, r.downloadLatency.value_or(NAN), r.uploadLatency.value_or(NAN), window[0][0],
                    window[0][1], window[1][0], window[1][1], counted[0], counted[1], test.failedProbes(false),
                    test.failedProbes(true));
        app.exit(0);
    });
    test.start();
    return app.exec();
}
