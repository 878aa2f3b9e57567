#pragma once
// How one test ended, as a value: done with its result, failed with its
// error, or cancelled. SpeedTest delivers one for every test it starts; the
// status line is a display of it (and, while a test runs, of the phase).
// A failure carries two texts: the message the user reads, and the
// technical cause in one line (what was refused, the HTTP status, the
// timeout that ran out, during which phase). Pure values; any thread.
#include "phase.h"
#include "testresult.h"

#include <QMetaType>
#include <QString>

#include <exception>
#include <optional>

struct TestOutcome {
    enum class Kind { done, failed, cancelled };

    Kind kind = Kind::cancelled;
    std::optional<TestResult> result; // done
    std::exception_ptr error;         // failed
    QString message;                  // failed: SpeedTest::describe(error)
    QString cause;                    // failed: failureCause(error, ...)

    // "Complete", "Failed" or "Cancelled".
    QString status() const;
};

Q_DECLARE_METATYPE(TestOutcome)

// The status line while phase runs: "Measuring latency…", "Measuring
// download…" or "Measuring upload…".
QString runningStatus(Phase phase);

// The cause of a failure in one line, for a person who wants to know what
// happened: built from the error's code and facts, the server's host and
// port, and the phase that failed. Any error code reads sensibly: one with
// no line of its own gives its description.
QString failureCause(const std::exception_ptr &error, Phase phase, const QString &origin);
