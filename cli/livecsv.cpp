#include "livecsv.h"

#include <QFile>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace {
// Shortest text that reads back as the same double, never locale-dependent.
void appendNumber(std::string &out, double v)
{
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, ec == std::errc() ? end : buf);
}

std::string row(const char *phase, Sample point)
{
    std::string out = phase;
    out.push_back(',');
    appendNumber(out, point.x);
    out.push_back(',');
    appendNumber(out, point.y);
    out.push_back('\n');
    return out;
}

const char *phaseName(Phase p)
{
    switch (p) {
    case Phase::latency:
        return "latency";
    case Phase::download:
        return "download";
    case Phase::upload:
        return "upload";
    case Phase::idle:
    case Phase::done:
        break;
    }
    return nullptr;
}
} // namespace

std::unique_ptr<LiveCsv> LiveCsv::open(const QString &path, const SpeedTest &test, QString *error)
{
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!file) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<LiveCsv> csv(new LiveCsv(file, test));
    if (!csv->put("phase,x,y\n")) {
        *error = csv->m_failure;
        return nullptr;
    }
    return csv;
}

LiveCsv::LiveCsv(std::FILE *file, const SpeedTest &test) : m_file(file), m_test(test)
{
    connect(&test, &SpeedTest::samplesChanged, this, &LiveCsv::writeNewPoints);
    connect(&test, &SpeedTest::probeMeasured, this, [this](Phase phase, Sample point) {
        if (m_failure.isEmpty() && !put(row(phase == Phase::upload ? "upload-latency" : "download-latency", point).c_str()))
            emit failed();
    });
}

void LiveCsv::writeNewPoints()
{
    const SampleList &samples = m_test.samples();
    // Each phase starts its points afresh.
    if (samples.size() < m_written)
        m_written = 0;
    const char *phase = phaseName(m_test.phase());
    if (!phase || !m_failure.isEmpty()) {
        m_written = samples.size();
        return;
    }
    std::string rows;
    for (; m_written < samples.size(); ++m_written)
        rows += row(phase, samples[m_written]);
    if (!rows.empty() && !put(rows.c_str()))
        emit failed();
}

bool LiveCsv::put(const char *text)
{
    if (std::fputs(text, m_file.get()) >= 0 && std::fflush(m_file.get()) == 0)
        return true;
    m_failure = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}
