#pragma once
// The Bufferbloat grade: how far latency rises while the link is busy. The
// increase is the larger of the loaded latencies measured (download,
// upload) minus the idle median, graded on the published scale: A+ under
// 5 ms, A under 30, B under 60, C under 200, D under 400, F from 400 up.
// A grade of its own, never to be read as a responsiveness (RPM) figure.
#include "testresult.h"

#include <QString>

#include <optional>

struct Bufferbloat {
    QString grade;   // "A+", "A", "B", "C", "D" or "F"
    double increase; // milliseconds; below 0 when loaded beat idle

    // None without a loaded latency.
    static std::optional<Bufferbloat> of(double latencyMedian, std::optional<double> downloadLatency,
                                         std::optional<double> uploadLatency);
    static std::optional<Bufferbloat> of(const TestResult &result);

    // "Bufferbloat A · latency rises 12.0 ms under load"
    QString line() const;
    // The scale, a line a grade, under a line that says what is graded.
    static QString scale();
    // "Latency under load: download 35.0 ms, upload —; Bufferbloat B · …", a
    // figure not measured an em dash, "no Bufferbloat grade" without either.
    static QString loadedLine(const TestResult &result);
};
