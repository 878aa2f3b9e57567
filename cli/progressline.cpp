#include "progressline.h"

#include "fmt.h"

#include <algorithm>
#include <cstdio>

namespace {

QString progressText(const SpeedTest &test)
{
    QString figure;
    switch (test.phase()) {
    case Phase::latency:
        figure = Fmt::ms(test.gaugeValue()) + QStringLiteral(" ms");
        break;
    case Phase::download:
    case Phase::upload:
    case Phase::done:
        figure = Fmt::speed(test.gaugeValue()) + QStringLiteral(" Mbps");
        break;
    case Phase::idle:
        break;
    }
    static const char *const names[] = {"", "latency", "download", "upload", "done"};
    QString line = QString::fromLatin1(names[int(test.phase())]);
    if (!figure.isEmpty())
        line += QStringLiteral("  ") + figure;
    return line + QStringLiteral("  ") + test.status();
}

} // namespace

void ProgressLine::show(const SpeedTest &test)
{
    if (test.isRunning())
        show(progressText(test));
}

void ProgressLine::show(const QString &text)
{
    if (!m_terminal)
        return;
    const QByteArray line = text.toUtf8();
    std::fprintf(stderr, "\r%-*s", m_width, line.constData());
    m_width = std::max<int>(m_width, int(line.size()));
    std::fflush(stderr);
}

void ProgressLine::clear()
{
    if (m_terminal && m_width > 0)
        std::fprintf(stderr, "\r%*s\r", m_width, "");
    m_width = 0;
}
