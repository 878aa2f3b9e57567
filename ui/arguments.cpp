#include "arguments.h"

#include <QUrl>

namespace {

std::optional<QString> originOf(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return std::nullopt;
    QString origin = url.toString(QUrl::FullyEncoded);
    while (origin.endsWith(QLatin1Char('/')))
        origin.chop(1);
    return origin;
}

} // namespace

Arguments parseArguments(const QStringList &args)
{
    Arguments out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            out.help = true;
        } else if (a == QLatin1String("--server")) {
            if (out.server) {
                out.error = QStringLiteral("--server given twice");
                return out;
            }
            if (i + 1 >= args.size()) {
                out.error = QStringLiteral("--server needs a URL");
                return out;
            }
            const QString value = args[++i];
            out.server = originOf(value);
            if (!out.server) {
                out.error = QStringLiteral("not an http or https URL with a host: ") + value;
                return out;
            }
        } else {
            out.error = QStringLiteral("unknown argument: ") + a;
            return out;
        }
    }
    return out;
}

QString usageText(const QString &program)
{
    return QStringLiteral("usage: %1 [--server URL]\n"
                          "  --server URL  measure against this speed-test server (http or https)\n")
        .arg(program);
}
