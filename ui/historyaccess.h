#pragma once
// What assistive tools see of the history list: a list whose items are the
// rows, each named by its one-line summary, with the two actions its painted
// buttons offer, "Copy" and "Delete". The actions run the list's own
// QActions of those names (object names "copyRow" and "deleteRow") on the
// row. Main thread only.
#include <QListView>

// The history list; its class name is what selects the interface above.
class HistoryListView final : public QListView {
    Q_OBJECT
public:
    explicit HistoryListView(QWidget *parent = nullptr);
};
