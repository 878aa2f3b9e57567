#include "progressline.h"

#include "fmt.h"

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
