#pragma once
// HistoryView: the History tab. Shows every result of a HistoryStore as a
// chart and a list, and offers copy, delete and clear. Main thread only.
// Holds no state of its own: it redraws from the store on every change.
#include <QWidget>

class HistoryStore;

class HistoryView : public QWidget {
    Q_OBJECT

public:
    explicit HistoryView(HistoryStore *store, QWidget *parent = nullptr);

private:
    HistoryStore *m_store;
};
