#pragma once
// The live points of one test as CSV, for plotting: a header "phase,x,y",
// then one row per point the engine publishes (live points and latency
// probes under load), each flushed at once so a
// reader (or a crash) sees every point drawn so far. Lives on the main
// thread, next to the SpeedTest it follows.
#include "speedtest.h"

#include <QObject>
#include <QString>

#include <cstdio>
#include <memory>

class LiveCsv final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveCsv)

public:
    // Creates or truncates the file and writes the header. Null with a
    // message in `error` when that fails.
    static std::unique_ptr<LiveCsv> open(const QString &path, const SpeedTest &test, QString *error);

    // The first write error, if any.
    QString failure() const { return m_failure; }

signals:
    void failed();

private:
    LiveCsv(std::FILE *file, const SpeedTest &test);
    void writeNewPoints();
    bool put(const char *text);

    struct Closer {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> m_file;
    const SpeedTest &m_test;
    qsizetype m_written = 0; // points of the current phase already written
    QString m_failure;
};
