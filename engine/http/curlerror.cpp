#include "curlerror.h"

#include <cerrno>

namespace {
QString withDetail(HttpError::Code code, const QString &lead, std::string_view detail)
{
    const QString text = QString::fromUtf8(detail.data(), qsizetype(detail.size())).trimmed();
    if (text.isEmpty())
        return lead.isEmpty() ? HttpError::defaultDescription(code) : lead;
    return (lead.isEmpty() ? HttpError::defaultDescription(code) : lead) + QStringLiteral(" (")
        + text + QLatin1Char(')');
}

bool isTlsFailure(CURLcode code)
{
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}
} // namespace

static HttpError classify(CURLcode code, long osErrno, std::string_view detail)
{
    using Code = HttpError::Code;
    if (detail.empty())
        detail = curl_easy_strerror(code);

    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return HttpError(Code::cannotFindHost, {});
    case CURLE_COULDNT_CONNECT:
        // No route to any network at all reads as offline; a host that
        // refuses or cannot be reached is the server's problem.
        if (osErrno == ENETUNREACH)
            return HttpError(Code::notConnectedToInternet, {});
        return HttpError(Code::cannotConnectToHost, {});
    case CURLE_OPERATION_TIMEDOUT:
        return HttpError(Code::timedOut, {});
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return HttpError(Code::networkConnectionLost, {});
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_RANGE_ERROR:
    case CURLE_HTTP_RETURNED_ERROR:
        return HttpError(Code::badServerResponse, withDetail(Code::badServerResponse, {}, detail));
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return HttpError(Code::setupFailed,
                         withDetail(Code::setupFailed, QStringLiteral("The URL is not supported."), detail));
    case CURLE_FAILED_INIT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_BAD_FUNCTION_ARGUMENT:
        return HttpError(Code::setupFailed, withDetail(Code::setupFailed, {}, detail));
    // Our own callbacks stop curl with a reason of their own; these are
    // curl failing on its side of them.
    case CURLE_OUT_OF_MEMORY:
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
        return HttpError(Code::clientFailed, withDetail(Code::clientFailed, {}, detail));
    default:
        break;
    }
    if (isTlsFailure(code))
        return HttpError(Code::tlsFailed, withDetail(Code::tlsFailed, {}, detail));
    return HttpError(Code::other, withDetail(Code::other, {}, detail));
}

HttpError httpErrorFromCurl(CURLcode code, long osErrno, std::string_view detail)
{
    if (detail.empty())
        detail = curl_easy_strerror(code);
    const HttpError error = classify(code, osErrno, detail);
    return HttpError(error.code(), error.description(),
                     {.systemError = int(osErrno),
                      .curlText = QString::fromUtf8(detail.data(), qsizetype(detail.size())).trimmed()});
}
