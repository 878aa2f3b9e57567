#include "testoutcome.h"

#include "httperror.h"

#include <QUrl>

#include <cerrno>

QString TestOutcome::status() const
{
    switch (kind) {
    case Kind::done:
        return QStringLiteral("Complete");
    case Kind::failed:
        return QStringLiteral("Failed");
    case Kind::cancelled:
        break;
    }
    return QStringLiteral("Cancelled");
}

QString runningStatus(Phase phase)
{
    switch (phase) {
    case Phase::latency:
        return QStringLiteral("Measuring latency\u2026");
    case Phase::download:
        return QStringLiteral("Measuring download\u2026");
    case Phase::upload:
        return QStringLiteral("Measuring upload\u2026");
    case Phase::idle:
    case Phase::done:
        break;
    }
    return {};
}

namespace {

// "127.0.0.1:8080", "[::1]:443": the port also where the origin leaves it out.
QString hostAndPort(const QString &origin)
{
    QUrl url(origin);
    url.setPort(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    return url.authority();
}

// One sentence: what, the phase it happened in, then the detail.
QString sentence(QString what, Phase phase, const QString &detail = {})
{
    if (what.endsWith(QLatin1Char('.')))
        what.chop(1);
    if (isRunningPhase(phase))
        what += QStringLiteral(" while ") + runningStatus(phase).toLower().chopped(1);
    if (!detail.isEmpty() && !what.contains(detail))
        what += QStringLiteral(": ") + detail;
    return what + QLatin1Char('.');
}

// curl's own message and the system's, as far as they are known.
QString detailOf(const HttpError::Facts &facts)
{
    QString detail = facts.curlText;
    if (facts.systemError != 0)
        detail += (detail.isEmpty() ? QString() : QStringLiteral(" ")) + QLatin1Char('(')
            + qt_error_string(facts.systemError) + QLatin1Char(')');
    return detail;
}

} // namespace

QString failureCause(const std::exception_ptr &error, Phase phase, const QString &origin)
{
    try {
        std::rethrow_exception(error);
    } catch (const HttpError &e) {
        using Code = HttpError::Code;
        const HttpError::Facts &facts = e.facts();
        switch (e.code()) {
        case Code::cannotConnectToHost:
            if (facts.systemError == ECONNREFUSED)
                return sentence(QStringLiteral("The connection was refused by ") + hostAndPort(origin), phase);
            return sentence(QStringLiteral("No connection could be made to ") + hostAndPort(origin), phase,
                            detailOf(facts));
        case Code::cannotFindHost:
        case Code::dnsLookupFailed:
            return sentence(QStringLiteral("The name %1 could not be resolved").arg(QUrl(origin).host()), phase);
        case Code::networkConnectionLost:
            return sentence(QStringLiteral("The connection to %1 was lost").arg(hostAndPort(origin)), phase,
                            detailOf(facts));
        case Code::timedOut:
            if (facts.idle.count() > 0)
                return sentence(QStringLiteral("No data arrived for %1 s").arg(facts.idle.count() / 1000.0), phase);
            break;
        case Code::badServerResponse:
            if (facts.httpStatus != 0)
                return sentence(QStringLiteral("The server answered with HTTP status %1").arg(facts.httpStatus),
                                phase);
            break;
        default:
            break;
        }
        return sentence(e.description(), phase, detailOf(facts));
    } catch (const std::exception &e) {
        return sentence(QString::fromUtf8(e.what()), phase);
    } catch (...) {
        return sentence(QStringLiteral("An unknown error occurred"), phase);
    }
}
