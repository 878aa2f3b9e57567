#pragma once
// quorvel-cli --prometheus: the outcome of one test in the Prometheus text
// format, as node_exporter's textfile collector reads it. Every metric is a
// gauge with its HELP and TYPE lines, in base units (bytes per second,
// seconds), without timestamps, labelled with the server's origin so that
// several servers can be told apart. A failed test gives
// quorvel_last_test_success 0 and no figures, and keeps the time of the last
// success that the file it replaces held for that server, so that an alert
// on staleness works. Pure functions and one file write; any thread.
#include "testresult.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace Prometheus {

// The file's text: a finished test's figures (result), or a failure
// (nullptr) with the last success's time, in seconds since the epoch, if
// one is known.
QByteArray text(const QString &server, const TestResult *result, std::optional<double> lastSuccess);

// quorvel_last_success_timestamp_seconds for server in an earlier file.
std::optional<double> lastSuccess(const QByteArray &text, const QString &server);

// Replaces path atomically with the text for this outcome, reading the last
// success from what path held; empty when written, else why not.
QString write(const QString &path, const QString &server, const TestResult *result);

} // namespace Prometheus
