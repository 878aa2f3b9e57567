#include "httperror.h"

HttpError::HttpError(Code code, QString description) : HttpError(code, std::move(description), Facts{}) {}

HttpError::HttpError(Code code, QString description, Facts facts)
    : m_code(code),
      m_description(description.isEmpty() ? defaultDescription(code) : std::move(description)),
      m_facts(std::move(facts)),
      m_what(m_description.toStdString())
{
}

QString HttpError::defaultDescription(Code code)
{
    switch (code) {
    case Code::cancelled:
        return QStringLiteral("The request was cancelled.");
    case Code::notConnectedToInternet:
        return QStringLiteral("The Internet connection appears to be offline.");
    case Code::networkConnectionLost:
        return QStringLiteral("The network connection was lost.");
    case Code::dataNotAllowed:
        return QStringLiteral("A data connection is not currently allowed.");
    case Code::cannotFindHost:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case Code::cannotConnectToHost:
        return QStringLiteral("Could not connect to the server.");
    case Code::dnsLookupFailed:
        return QStringLiteral("The DNS lookup of the server's name failed.");
    case Code::internationalRoamingOff:
        return QStringLiteral("International roaming is currently off.");
    case Code::timedOut:
        return QStringLiteral("The request timed out.");
    case Code::badServerResponse:
        return QStringLiteral("The server returned a response that could not be understood.");
    case Code::tlsFailed:
        return QStringLiteral("A TLS error occurred and a secure connection to the server cannot be made.");
    case Code::setupFailed:
        return QStringLiteral("The request could not be set up.");
    case Code::clientFailed:
        return QStringLiteral("The HTTP client failed.");
    case Code::other:
        break;
    }
    return QStringLiteral("An unknown network error occurred.");
}
