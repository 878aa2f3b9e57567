#include "bufferbloat.h"

#include "fmt.h"

#include <algorithm>
#include <iterator>

namespace {
struct Step {
    double below;
    const char *grade;
};
// The last step takes everything from 400 ms up.
constexpr Step scaleSteps[] = {{5, "A+"}, {30, "A"}, {60, "B"}, {200, "C"}, {400, "D"}, {0, "F"}};
} // namespace

std::optional<Bufferbloat> Bufferbloat::of(double latencyMedian, std::optional<double> downloadLatency,
                                           std::optional<double> uploadLatency)
{
    if (!downloadLatency && !uploadLatency)
        return std::nullopt;
    const double loaded = std::max(downloadLatency.value_or(*uploadLatency), uploadLatency.value_or(*downloadLatency));
    const double increase = loaded - latencyMedian;
    const auto step = std::find_if(std::begin(scaleSteps), std::end(scaleSteps) - 1,
                                   [&](const Step &s) { return increase < s.below; });
    return Bufferbloat{QString::fromLatin1(step->grade), increase};
}

std::optional<Bufferbloat> Bufferbloat::of(const TestResult &result)
{
    return of(result.latencyMedian, result.downloadLatency, result.uploadLatency);
}

QString Bufferbloat::line() const
{
    const QString head = QStringLiteral("Bufferbloat ") + grade + QStringLiteral(" \u00B7 ");
    // What would read "rises 0.0 ms" or less does not rise.
    if (increase < 0.05)
        return head + QStringLiteral("latency does not rise under load");
    return head + QStringLiteral("latency rises ") + Fmt::ms(increase) + QStringLiteral(" ms under load");
}

QString Bufferbloat::scale()
{
    QString text = QStringLiteral("Bufferbloat: how far latency rises while the connection is busy");
    for (const Step &s : scaleSteps) {
        text += QLatin1Char('\n') + QLatin1String(s.grade)
            + (s.below > 0 ? QStringLiteral(" under %1 ms").arg(s.below) : QStringLiteral(" from 400 ms up"));
    }
    return text;
}

QString Bufferbloat::loadedLine(const TestResult &result)
{
    const auto figure = [](std::optional<double> v) {
        return v ? Fmt::ms(*v) + QStringLiteral(" ms") : QStringLiteral("\u2014");
    };
    const auto grade = of(result);
    return QStringLiteral("Latency under load: download ") + figure(result.downloadLatency)
        + QStringLiteral(", upload ") + figure(result.uploadLatency) + QStringLiteral("; ")
        + (grade ? grade->line() : QStringLiteral("no Bufferbloat grade"));
}
