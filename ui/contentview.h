#pragma once
// ContentView: the window's content. A centred two-segment picker
// ("Test" | "History"), a divider, and below it the selected screen. Only
// the selected screen exists; switching destroys the other one. Switching
// touches neither the engine nor the store, so a running test goes on.
// Main thread only.
#include "tab.h"

#include <QWidget>

class HistoryStore;
class HistoryView;
class QAbstractButton;
class QButtonGroup;
class QVBoxLayout;
class SpeedTest;
class TestView;

class ContentView : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 760;
    static constexpr int minimumHeight = 640;
    static constexpr int pickerWidth = 220;

    ContentView(SpeedTest *test, HistoryStore *history, QWidget *parent = nullptr);

    Tab tab() const { return m_tab; }
    void setTab(Tab tab);

    QAbstractButton *segment(Tab tab) const;
    QWidget *picker() const { return m_picker; }
    // The screen on view; the other one is null.
    TestView *testView() const { return m_testView; }
    HistoryView *historyView() const { return m_historyView; }

signals:
    void tabChanged(Tab tab);

protected:
    void changeEvent(QEvent *event) override;

private:
    void showScreen();
    void restyle();

    SpeedTest *m_test;
    HistoryStore *m_history;
    Tab m_tab = Tab::test;
    QVBoxLayout *m_stack;
    QWidget *m_picker;
    QButtonGroup *m_segments;
    QWidget *m_screen = nullptr;
    TestView *m_testView = nullptr;
    HistoryView *m_historyView = nullptr;
};
