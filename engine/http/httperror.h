#pragma once
// The one error type of the HTTP client: a code the engine can tell apart
// and a human-readable description. Thrown up to the test's run as an
// exception; carried by value in completion events.
#include <QString>

#include <exception>
#include <string>

class HttpError : public std::exception {
public:
    enum class Code {
        cancelled,
        notConnectedToInternet,
        networkConnectionLost,
        dataNotAllowed,
        cannotFindHost,
        cannotConnectToHost,
        dnsLookupFailed,
        internationalRoamingOff,
        timedOut,
        badServerResponse,
        other,
    };

    HttpError(Code code, QString description);

    Code code() const { return m_code; }
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_what.c_str(); }

    static QString defaultDescription(Code code);

private:
    Code m_code;
    QString m_description;
    std::string m_what;
};
