#pragma once
// HistoryModel: the history list as an item model, one row per result in the
// store's order (newest first). Main thread only. It follows the store by
// itself: a change that only adds results at the top or only drops some rows
// becomes row insertions or removals, so the view keeps its scroll position
// and current row; anything else resets the model.
#include "testresult.h"

#include <QAbstractListModel>
#include <QList>

class HistoryStore;

class HistoryModel final : public QAbstractListModel {
    Q_OBJECT

public:
    explicit HistoryModel(HistoryStore *store, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    // The result shown in a row; row must be valid.
    const TestResult &result(int row) const { return m_items.at(row); }

signals:
    // Around each update from the store, before the first and after the
    // last row notification (views read positions while rows still match).
    void aboutToSync();
    void synced();

private:
    void sync();
    bool syncByInsertingAtTop(const QList<TestResult> &next);
    bool syncByRemoving(const QList<TestResult> &next);

    HistoryStore *m_store;
    // A shallow copy of the store's list, so rows change only between the
    // model's begin/end notifications.
    QList<TestResult> m_items;
};
