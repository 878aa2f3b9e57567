#pragma once
// The one updating status line quorvel-cli keeps on a terminal's standard
// error: the phase, the live figure and the status text, rewritten in place
// and cleared before anything else is printed there. Nothing when standard
// error is not a terminal. Main thread.
#include "speedtest.h"

class ProgressLine {
public:
    explicit ProgressLine(bool terminal) : m_terminal(terminal) {}

    // While a test runs: its line now.
    void show(const SpeedTest &test);
    void show(const QString &line);
    void clear();

private:
    bool m_terminal;
    int m_width = 0; // the longest line shown, which a shorter one must cover
};
