#include "historyview.h"

#include "historystore.h"

HistoryView::HistoryView(HistoryStore *store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
{
}
