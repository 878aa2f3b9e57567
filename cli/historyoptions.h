#pragma once
// The options of quorvel-cli that keep a result beyond the run, or read
// back what was kept: --save (the result joins the user's history, the one
// the window shows), --history (prints that history without measuring) and
// --prometheus FILE (the outcome as metrics for node_exporter's textfile
// collector). Messages go to standard error. Main thread.
#include "commandline.h"

#include <QList>

#include <functional>
#include <optional>

struct TestOutcome;

class HistoryOptions {
public:
    enum class Kept { kept, failed, interrupted };

    explicit HistoryOptions(CommandLine &line);

    // After parse(): the exit status of a combination that makes no sense
    // (--history with an option of a measuring run). Warns about a metrics
    // file the textfile collector would skip.
    std::optional<int> check(const CommandLine &line, const QList<const QCommandLineOption *> &measuring) const;

    bool historyAsked(const CommandLine &line) const { return line.isSet(m_history); }
    // Prints the saved history, newest first, as the output options ask;
    // returns the exit status.
    int printHistory(bool json, bool csv) const;

    // Once a test has finished or failed: the metrics file and the history,
    // as asked; failed once something could not be written, said on
    // standard error. interrupted is asked while waiting for the history.
    Kept keep(const CommandLine &line, const TestOutcome &outcome, const std::function<bool()> &interrupted) const;

private:
    QCommandLineOption m_save, m_history, m_prometheus;
};
