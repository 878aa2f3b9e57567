#include "commandline.h"

#include <QUrl>

#include <cstdio>

std::optional<QString> serverOrigin(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")))
        return std::nullopt;
    return url.toString(QUrl::FullyEncoded | QUrl::RemovePath);
}

CommandLine::CommandLine(QString program, const QString &about, QString defaultOrigin)
    : m_program(std::move(program)), m_origin(std::move(defaultOrigin)),
      m_help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit.")),
      m_version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and exit.")),
      m_server(QStringLiteral("server"),
               QStringLiteral("Measure against this server, an http or https origin (scheme, host, optional "
                              "port), instead of %1.")
                   .arg(m_origin),
               QStringLiteral("URL"))
{
    m_parser.setApplicationDescription(about);
    m_parser.addOption(m_help);
    m_parser.addOption(m_version);
    m_parser.addOption(m_server);
}

std::optional<int> CommandLine::parse(const QStringList &arguments)
{
    if (!m_parser.parse(arguments))
        return fail(m_parser.errorText());
    if (const QStringList extra = m_parser.positionalArguments(); !extra.isEmpty())
        return fail(QStringLiteral("Unexpected argument '%1'.").arg(extra.first()));
    const QStringList servers = m_parser.values(m_server);
    if (servers.size() > 1)
        return fail(QStringLiteral("--server given more than once."));
    if (!servers.isEmpty()) {
        const auto origin = serverOrigin(servers.first());
        if (!origin)
            return fail(QStringLiteral("Not an http or https origin: '%1'.").arg(servers.first()));
        m_origin = *origin;
    }
    if (m_parser.isSet(m_help)) {
        std::fputs(qPrintable(helpText()), stdout);
        return 0;
    }
    if (m_parser.isSet(m_version)) {
        std::printf("%s %s\n", qPrintable(m_program), QUORVEL_VERSION);
        return 0;
    }
    return std::nullopt;
}

int CommandLine::fail(const QString &why) const
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", qPrintable(m_program), qPrintable(why), qPrintable(m_program));
    return 2;
}

QString CommandLine::helpText() const
{
    // Qt's usage line names the program by the path it was started with.
    QString text = m_parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: %1 [options]").arg(m_program));
    return m_epilogue.isEmpty() ? text : text + QLatin1Char('\n') + m_epilogue;
}
