#include "historyview.h"

#include "banner.h"
#include "historyaccess.h"
#include "historychart.h"
#include "historyemptystate.h"
#include "historyexport.h"
#include "historymodel.h"
#include "historystore.h"
#include "theme.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

HistoryView::HistoryView(HistoryStore *store, QWidget *parent)
    : HistoryView(store, new HistoryModel(store), parent)
{
    m_model->setParent(this);
}

HistoryView::HistoryView(HistoryStore *store, HistoryModel *model, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_model(model)
    , m_saveErrorSlot(new QWidget(this))
    , m_saveError(new Banner(m_saveErrorSlot, Banner::Sign::warning))
    , m_pages(new QStackedLayout)
    , m_empty(new HistoryEmptyState(this))
    , m_undoSlot(new QWidget(this))
    , m_undoText(new QLabel(m_undoSlot))
    , m_undo(new QPushButton(tr("Undo"), m_undoSlot))
    , m_undoTimer(new QTimer(this))
    , m_results(new QWidget(this))
    , m_export(new QPushButton(tr("Export\u2026"), m_results))
    , m_clearAll(new QPushButton(tr("Clear All"), m_results))
    , m_chart(new HistoryChart(m_results))
    , m_list(new HistoryListView(m_results))
    , m_delegate(new HistoryRowDelegate(m_list))
{
    auto *title = new QLabel(tr("Past results"), m_results);
    QFont headline = title->font();
    headline.setWeight(QFont::DemiBold);
    title->setFont(headline);
    m_clearAll->setAccessibleName(tr("Clear All"));
    m_clearAll->setAutoDefault(false);
    m_export->setAutoDefault(false);

    auto *header = new QHBoxLayout;
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(m_export);
    header->addWidget(m_clearAll);

    m_chart->setFixedHeight(150);

    m_list->setModel(m_model);
    m_list->setItemDelegate(m_delegate);
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setAccessibleName(tr("Past results"));

    // The row buttons are painted, so the keyboard and assistive tools reach
    // the same two actions through the list itself and its context menu.
    auto *copy = new QAction(tr("Copy"), m_list);
    copy->setObjectName(QStringLiteral("copyRow"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this] { copyRow(m_list->currentIndex()); });
    auto *remove = new QAction(tr("Delete"), m_list);
    remove->setObjectName(QStringLiteral("deleteRow"));
    remove->setShortcuts({QKeySequence::Delete, QKeySequence(Qt::Key_Backspace)});
    remove->setShortcutContext(Qt::WidgetShortcut);
    connect(remove, &QAction::triggered, this, [this] { deleteRow(m_list->currentIndex()); });
    m_list->addActions({copy, remove});
    m_list->setContextMenuPolicy(Qt::ActionsContextMenu);
    // The context-menu key's other name; the menu opens at the current row.
    auto *rowMenu = new QAction(tr("Row Menu"), this);
    rowMenu->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10));
    rowMenu->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(rowMenu, &QAction::triggered, this, [this, copy, remove] {
        const QRect row = m_list->visualRect(m_list->currentIndex());
        if (!row.isValid())
            return;
        auto *menu = new QMenu(m_list);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addActions({copy, remove});
        menu->popup(m_list->viewport()->mapToGlobal(QPoint(row.left() + 20, row.bottom())));
    });
    addAction(rowMenu);

    auto *column = new QVBoxLayout(m_results);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(12);
    column->addLayout(header);
    column->addWidget(m_chart);
    // The list's frame is a container's: at a fractional scale the list's
    // own viewport and scroll bar, rounded outwards to whole device pixels,
    // covered its right and bottom lines. Inset by a pixel there, they can't.
    auto *listFrame = new QFrame(m_results);
    listFrame->setObjectName(QStringLiteral("listFrame"));
    listFrame->setFrameShape(QFrame::StyledPanel);
    m_list->setFrameShape(QFrame::NoFrame);
    auto *inFrame = new QVBoxLayout(listFrame);
    const qreal ratio = devicePixelRatioF();
    const int inset = ratio == std::floor(ratio) ? 0 : 1;
    inFrame->setContentsMargins(inset, inset, inset, inset);
    inFrame->addWidget(m_list);
    column->addWidget(listFrame, 1);

    m_pages->addWidget(m_empty);
    m_pages->addWidget(m_results);

    // Above whichever page shows: the results' own padding keeps it apart.
    auto *slot = new QVBoxLayout(m_saveErrorSlot);
    slot->setContentsMargins(20, 20, 20, 0);
    slot->addWidget(m_saveError);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(m_saveErrorSlot);
    outer->addWidget(m_undoSlot);
    outer->addLayout(m_pages, 1);

    auto *undoRow = new QHBoxLayout(m_undoSlot);
    undoRow->setContentsMargins(20, 12, 20, 0);
    undoRow->addWidget(m_undoText, 1);
    undoRow->addWidget(m_undo);
    m_undo->setAutoDefault(false);
    m_undoSlot->hide();
    m_undoTimer->setSingleShot(true);
    m_undoTimer->setInterval(10'000);
    connect(m_undoTimer, &QTimer::timeout, this, [this] { offerUndo({}, {}); });
    connect(m_undo, &QPushButton::clicked, this, &HistoryView::undo);
    auto *undoKeys = new QAction(tr("Undo"), this);
    undoKeys->setShortcut(QKeySequence::Undo);
    undoKeys->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(undoKeys, &QAction::triggered, this, &HistoryView::undo);
    addAction(undoKeys);

    connect(m_clearAll, &QPushButton::clicked, this, [this] { offerUndo(m_store->clear(), tr("History cleared.")); });
    connect(m_export, &QPushButton::clicked, this, [this] { startHistoryExport(m_store, this); });
    connect(m_delegate, &HistoryRowDelegate::copyClicked, this, &HistoryView::copyRow);
    connect(m_delegate, &HistoryRowDelegate::deleteClicked, this, &HistoryView::deleteRow);
    // Rows inserted or removed above the ones on screen must not move them.
    connect(m_model, &HistoryModel::aboutToSync, this, &HistoryView::rememberTopRow);
    connect(m_model, &HistoryModel::synced, this, &HistoryView::restoreTopRow);
    // The model connected first, so its rows are current when this runs.
    connect(m_store, &HistoryStore::itemsChanged, this, &HistoryView::showCurrentState);
    connect(m_store, &HistoryStore::saveErrorChanged, this, &HistoryView::showSaveError);

    applyPalette();
    showCurrentState();
    showSaveError();
}

Banner *HistoryView::saveErrorBanner() const
{
    return m_saveErrorSlot->isHidden() ? nullptr : m_saveError;
}

void HistoryView::showSaveError()
{
    const QString error = m_store->saveError();
    if (!error.isEmpty())
        m_saveError->set(tr("Your history can't be saved: ") + error, Theme::Hue::red);
    m_saveErrorSlot->setHidden(error.isEmpty());
}

bool HistoryView::isShowingEmptyState() const
{
    return m_pages->currentWidget() == m_empty;
}

int HistoryView::rowCount() const
{
    return m_model->rowCount();
}

HistoryRowTexts HistoryView::rowTexts(int row) const
{
    return HistoryRowTexts::of(m_model->result(row));
}

QRect HistoryView::buttonRect(int row, HistoryRowDelegate::Button which) const
{
    const QRect rowRect = m_list->visualRect(m_model->index(row));
    return rowRect.isValid() ? m_delegate->buttonRect(rowRect, which) : QRect();
}

void HistoryView::showCurrentState()
{
    const bool empty = m_store->items().isEmpty();
    m_pages->setCurrentWidget(empty ? static_cast<QWidget *>(m_empty) : m_results);
    m_chart->setResults(m_store->items());
}

void HistoryView::copyRow(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    QClipboard *clipboard = QApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_model->result(index.row()).summary());
}

void HistoryView::deleteRow(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    // Removed after the click has finished its way through the list view,
    // which still holds the row's index while it delivers the click.
    const TestResult result = m_model->result(index.row());
    QMetaObject::invokeMethod(
        this, [this, result] { offerUndo(m_store->remove(result), tr("Result deleted.")); }, Qt::QueuedConnection);
}

void HistoryView::offerUndo(const QList<HistoryStore::Removed> &removed, const QString &what)
{
    // Only the latest change can be undone; nothing removed, nothing offered.
    m_undoable = removed;
    m_undoText->setText(what);
    m_undoSlot->setVisible(!removed.isEmpty());
    if (removed.isEmpty())
        m_undoTimer->stop();
    else
        m_undoTimer->start();
}

void HistoryView::undo()
{
    if (m_undoable.isEmpty())
        return;
    const QList<HistoryStore::Removed> removed = m_undoable;
    offerUndo({}, {});
    m_store->restore(removed);
}

void HistoryView::rememberTopRow()
{
    // At the very top the list stays at the top, so a new result shows.
    if (m_list->verticalScrollBar()->value() == 0) {
        m_topRow = QPersistentModelIndex();
        return;
    }
    m_topRow = m_list->indexAt(QPoint(1, 1));
    m_topRowOffset = m_list->visualRect(m_topRow).top();
}

void HistoryView::restoreTopRow()
{
    if (!m_topRow.isValid())
        return;
    m_list->doItemsLayout(); // positions are computed lazily otherwise
    QScrollBar *bar = m_list->verticalScrollBar();
    bar->setValue(bar->value() + m_list->visualRect(m_topRow).top() - m_topRowOffset);
    m_topRow = QPersistentModelIndex();
}

void HistoryView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
}

void HistoryView::applyPalette()
{
    // Destructive action: red text on the ordinary button.
    QPalette red = m_clearAll->palette();
    // The style shades the button lighter towards the top: readable on both.
    const QColor button = palette().color(QPalette::Button);
    red.setColor(QPalette::ButtonText,
                 Theme::readable(Theme::readable(Theme::red(palette()), button), button.lighter(160)));
    m_clearAll->setPalette(red);
}
