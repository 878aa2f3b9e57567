#pragma once
// The command lines of quorvel and quorvel-cli: a QCommandLineParser with
// the options both take (--help, --version, --server URL) and each
// program's own, and one rule for a server's origin. Read with parse(),
// never process(), so that every bad argument ends alike: the program's
// name and the reason on standard error, then exit status 2.
// Main thread, once a QCoreApplication exists.
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

// The origin of an http or https server: a host and an optional port; no
// path (a lone "/" is dropped), query, fragment or user information.
// Scheme and host come back in lower case, without a trailing slash.
std::optional<QString> serverOrigin(const QString &text);

class CommandLine {
public:
    // program: the name messages start with; about: the lines under the
    // usage line of --help; defaultOrigin: the server without --server.
    CommandLine(QString program, const QString &about, QString defaultOrigin);

    // The program's own options, and the text after the option list.
    void addOption(const QCommandLineOption &option) { m_parser.addOption(option); }
    void setEpilogue(QString text) { m_epilogue = std::move(text); }

    // Reads the arguments (the program's own name first). Prints --help or
    // --version on standard output, or why an argument is bad on standard
    // error, and then returns the exit status; nothing when the program is
    // to go on.
    std::optional<int> parse(const QStringList &arguments);

    bool isSet(const QCommandLineOption &option) const { return m_parser.isSet(option); }
    QString value(const QCommandLineOption &option) const { return m_parser.value(option); }
    // --server's origin, or the default.
    QString origin() const { return m_origin; }

    // A bad argument found after parse(): says why, returns 2.
    int fail(const QString &why) const;

private:
    QString helpText() const;

    QString m_program;
    QString m_origin;
    QString m_epilogue;
    QCommandLineParser m_parser;
    QCommandLineOption m_help, m_version, m_server;
};
