#pragma once
// QuorvelApp: what the program runs. Creates the one SpeedTest and the one
// HistoryStore, opens the one window on the Test tab, and hands every
// successful result to the store. Everything lives until it is destroyed,
// window first, then the engine, then the store the engine reports into.
// Main thread only.
#include "pathmonitor.h"

#include <QString>

#include <memory>

class ContentView;
class HistoryStore;
class SingleInstance;
class SpeedTest;

class QuorvelApp {
public:
    struct Options {
        QString origin;                       // empty: the public server
        std::unique_ptr<PathMonitor> monitor; // null: the system's, for the origin's host
        QString historyPath;                  // empty: the user's history file
    };

    explicit QuorvelApp(Options options);
    ~QuorvelApp();
    QuorvelApp(const QuorvelApp &) = delete;
    QuorvelApp &operator=(const QuorvelApp &) = delete;

    // Answers the later copies and quorvel-cli runs that instance hears
    // from: the window comes to the front, a result joins the history
    // (once, however often it is handed over) and is saved.
    void serve(SingleInstance &instance);

    SpeedTest *test() const { return m_test.get(); }
    HistoryStore *history() const { return m_history.get(); }
    ContentView *window() const { return m_window.get(); }

private:
    std::unique_ptr<HistoryStore> m_history;
    std::unique_ptr<SpeedTest> m_test;
    std::unique_ptr<ContentView> m_window;
};
