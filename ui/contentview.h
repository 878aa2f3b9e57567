#pragma once
// ContentView: the window's content. A centred two-segment picker
// ("Test" | "History"), a divider, and below it the selected screen. Only
// the selected screen exists; switching destroys the other one. Switching
// touches neither the engine nor the store, so a running test goes on.
// The history's list model lives as long as the window, so a switch to
// History does not rebuild it. The picker is a tab bar drawn as joined
// buttons: one stop in the tab order, arrow keys between the segments, and
// a page tab list to assistive tools. A menu button at the right of the
// picker opens the primary menu (the shortcut list, About, Quit); the window
// takes the usual shortcuts (Ctrl+Q, Ctrl+W, F1, Ctrl+Tab, Ctrl+PgUp/PgDn,
// Alt+1/Alt+2). Main thread only.
#include "tab.h"

#include <QList>
#include <QPair>
#include <QWidget>

#include <functional>

class HistoryModel;
class HistoryStore;
class HistoryView;
class QTabBar;
class QToolButton;
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

    QTabBar *picker() const { return m_picker; }
    // The primary menu's button, at the right of the picker's row.
    QToolButton *menuButton() const { return m_menuButton; }
    // What each shortcut of the window does, in the order the
    // "Keyboard Shortcuts" list shows them.
    static QList<QPair<QString, QString>> shortcutList();
    // Where a segment is, in the picker's coordinates.
    QRect segmentRect(Tab tab) const;
    // The screen on view; the other one is null.
    TestView *testView() const { return m_testView; }
    HistoryView *historyView() const { return m_historyView; }

signals:
    void tabChanged(Tab tab);

protected:
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildMenu();
    QAction *addShortcut(const QString &text, const QList<QKeySequence> &keys, const std::function<void()> &run);
    void showAbout();
    void showShortcuts();
    void showScreen();
    void restyle();

    SpeedTest *m_test;
    HistoryStore *m_history;
    Tab m_tab = Tab::test;
    HistoryModel *m_historyModel;
    QVBoxLayout *m_stack;
    QTabBar *m_picker;
    QToolButton *m_menuButton;
    QWidget *m_screen = nullptr;
    TestView *m_testView = nullptr;
    HistoryView *m_historyView = nullptr;
};
