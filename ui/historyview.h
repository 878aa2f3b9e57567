#pragma once
// HistoryView: the History tab. Shows every result of a HistoryStore as a
// chart and a list (newest first), and lets the user copy one result's
// summary, delete one result, clear them all, or export them to a file. Main thread only, like the
// store. Keeps no state of its own: it follows the store's itemsChanged and
// shows an empty state while the store holds nothing, and a banner above
// either while the store's last save failed. For ten seconds after Clear All
// or a deletion a bar offers "Undo" (Ctrl+Z too), which puts the records
// back in their places. The store must outlive the view.
//
// The list is virtualized (one model, one painting delegate): scrolling costs
// the rows on screen whatever the history's length. The chart holds every
// result, so each change and each resize costs it time in proportion.
#include "historyrowdelegate.h"
#include "historystore.h"

#include <QWidget>

class Banner;
class HistoryChart;
class HistoryEmptyState;
class HistoryModel;
class QListView;
class QPushButton;
class QLabel;
class QStackedLayout;
class QTimer;

class HistoryView : public QWidget {
    Q_OBJECT

public:
    explicit HistoryView(HistoryStore *store, QWidget *parent = nullptr);
    // On a model of the store that outlives the view (the window keeps one,
    // so opening the tab does not rebuild it).
    HistoryView(HistoryStore *store, HistoryModel *model, QWidget *parent = nullptr);

    // Read-only access to the parts, for tests and screenshots.
    bool isShowingEmptyState() const;
    QListView *list() const { return m_list; }
    HistoryChart *chart() const { return m_chart; }
    QPushButton *clearAllButton() const { return m_clearAll; }
    QPushButton *exportButton() const { return m_export; }
    // Shown for a while after Clear All or a deletion; hidden otherwise.
    QPushButton *undoButton() const { return m_undo; }
    // Null while every save works.
    Banner *saveErrorBanner() const;
    int rowCount() const;
    HistoryRowTexts rowTexts(int row) const;
    // A row's button in the list viewport's coordinates; empty when the row
    // is not laid out.
    QRect buttonRect(int row, HistoryRowDelegate::Button which) const;

protected:
    void changeEvent(QEvent *event) override;

private:
    void showCurrentState();
    void showSaveError();
    void copyRow(const QModelIndex &index);
    void deleteRow(const QModelIndex &index);
    void offerUndo(const QList<HistoryStore::Removed> &removed, const QString &what);
    void undo();
    void applyPalette();
    void rememberTopRow();
    void restoreTopRow();

    HistoryStore *m_store;
    HistoryModel *m_model;
    QWidget *m_saveErrorSlot;
    Banner *m_saveError;
    QStackedLayout *m_pages;
    HistoryEmptyState *m_empty;
    QWidget *m_undoSlot;
    QLabel *m_undoText;
    QPushButton *m_undo;
    QTimer *m_undoTimer;
    QList<HistoryStore::Removed> m_undoable;
    QWidget *m_results;
    QPushButton *m_export;
    QPushButton *m_clearAll;
    HistoryChart *m_chart;
    QListView *m_list;
    HistoryRowDelegate *m_delegate;
    // The row at the top of the list while rows come and go above it.
    QPersistentModelIndex m_topRow;
    int m_topRowOffset = 0;
};
