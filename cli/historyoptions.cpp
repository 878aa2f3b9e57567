#include "historyoptions.h"

#include "historystore.h"
#include "prometheus.h"
#include "singleinstance.h"
#include "testoutcome.h"

#include <QDir>

#include <cstdio>

HistoryOptions::HistoryOptions(CommandLine &line)
    : m_save(QStringLiteral("save"),
             QStringLiteral("Add the result to your history, the one the Quorvel window shows: through the "
                            "window when one runs, else directly, under the history's lock.")),
      m_history(QStringLiteral("history"),
                QStringLiteral("Print the saved history, newest first, without measuring: one summary per "
                               "result, or with --csv the header line and a line per result, or with --json "
                               "one array.")),
      m_prometheus(QStringLiteral("prometheus"),
                   QStringLiteral("Write the test's outcome to FILE in the Prometheus text format, replacing "
                                  "it atomically, for node_exporter's textfile collector (which reads names "
                                  "ending in .prom); a failed test writes quorvel_last_test_success 0."),
                   QStringLiteral("FILE"))
{
    for (const QCommandLineOption *option : {&m_save, &m_history, &m_prometheus})
        line.addOption(*option);
}

std::optional<int> HistoryOptions::check(const CommandLine &line,
                                         const QList<const QCommandLineOption *> &measuring) const
{
    if (line.isSet(m_history)) {
        for (const QCommandLineOption *option : measuring + QList{&m_save, &m_prometheus}) {
            if (line.isSet(*option))
                return line.fail(QStringLiteral("--history prints the saved results; it does not go with --%1.")
                                     .arg(option->names().constFirst()));
        }
    }
    if (line.isSet(m_prometheus) && !line.value(m_prometheus).endsWith(QStringLiteral(".prom")))
        std::fprintf(stderr, "quorvel-cli: warning: node_exporter's textfile collector skips '%s': it reads only "
                             "names ending in .prom.\n",
                     qPrintable(line.value(m_prometheus)));
    return std::nullopt;
}

int HistoryOptions::printHistory(bool json, bool csv) const
{
    const HistoryStore store(HistoryStore::defaultPath());
    if (store.unreadableOnDisk()) {
        std::fprintf(stderr, "quorvel-cli: %s can't be read as history.\n",
                     qPrintable(QDir::toNativeSeparators(store.filePath())));
        return 1;
    }
    // A file the store read holds only what every encoding can write.
    if (json)
        std::fputs(ResultCodec::encodeArray(store.items()).value_or("").constData(), stdout);
    if (csv)
        std::fputs(ResultCodec::encodeCsv(store.items()).value_or("").constData(), stdout);
    if (!json && !csv) {
        for (const TestResult &result : store.items())
            std::printf("%s%s\n", &result == &store.items().constFirst() ? "" : "\n", qPrintable(result.summary()));
    }
    return 0;
}

HistoryOptions::Kept HistoryOptions::keep(const CommandLine &line, const TestOutcome &outcome,
                                          const std::function<bool()> &interrupted) const
{
    const TestResult *result = outcome.kind == TestOutcome::Kind::done ? &*outcome.result : nullptr;
    Kept kept = Kept::kept;
    if (line.isSet(m_prometheus)) {
        const QString path = line.value(m_prometheus);
        if (const QString why = Prometheus::write(path, line.origin(), result); !why.isEmpty()) {
            std::fprintf(stderr, "quorvel-cli: writing '%s' failed: %s\n", qPrintable(path), qPrintable(why));
            kept = Kept::failed;
        }
    }
    if (line.isSet(m_save) && result) {
        const SingleInstance::Saved saved = SingleInstance(HistoryStore::defaultPath()).save(*result, interrupted);
        if (saved.kind == SingleInstance::Saved::Kind::interrupted)
            return Kept::interrupted;
        if (saved.kind == SingleInstance::Saved::Kind::failed) {
            std::fprintf(stderr, "quorvel-cli: the result was not saved: %s\n", qPrintable(saved.why));
            kept = Kept::failed;
        }
    }
    return kept;
}
