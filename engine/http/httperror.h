#pragma once
// The one error type of the HTTP client: a code the engine can tell apart
// and a human-readable description. Thrown up to the test's run as an
// exception; carried by value in completion events.
//
// dataNotAllowed and internationalRoamingOff are mobile-data settings that
// this platform does not have, and curl's resolver does not say why a
// lookup failed, so every failed lookup is cannotFindHost: those three codes
// are never produced here. They stay so that every code a caller handles
// keeps its name.
#include <QString>

#include <chrono>
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
        tlsFailed, // no secure connection: handshake or certificate
        setupFailed, // the request could not be built; nothing was sent
        clientFailed, // the HTTP client itself failed (curl's multi handle)
        other,
    };

    // What the code alone does not tell, for a technical account of the
    // failure; each is empty or zero when not known.
    struct Facts {
        long httpStatus = 0;               // the status that was refused
        int systemError = 0;               // errno behind a failed connection
        std::chrono::milliseconds idle{0}; // how long nothing arrived
        QString curlText;                  // curl's own message
    };

    HttpError(Code code, QString description);
    HttpError(Code code, QString description, Facts facts);

    Code code() const { return m_code; }
    QString description() const { return m_description; }
    const Facts &facts() const { return m_facts; }
    const char *what() const noexcept override { return m_what.c_str(); }

    static QString defaultDescription(Code code);

private:
    Code m_code;
    QString m_description;
    Facts m_facts;
    std::string m_what;
};
