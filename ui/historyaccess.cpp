#include "historyaccess.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QHash>
#include <QListView>
#include <QPersistentModelIndex>
#include <QPointer>

namespace {

QAction *actionNamed(const QListView *list, const QString &name)
{
    return list->findChild<QAction *>(name == QStringLiteral("Copy") ? QStringLiteral("copyRow")
                                                                     : QStringLiteral("deleteRow"));
}

class RowAccess final : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    RowAccess(QListView *list, const QModelIndex &index) : m_list(list), m_index(index) {}

    bool isValid() const override { return m_list && m_index.isValid(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_list); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return {};
        if (t == QAccessible::Name)
            return m_index.data(Qt::AccessibleTextRole).toString();
        if (t == QAccessible::Description)
            return m_index.data(Qt::AccessibleDescriptionRole).toString();
        return {};
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QRect r = m_list->visualRect(m_index);
        return QRect(m_list->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.selectable = true;
        s.focusable = true;
        s.selected = m_list->selectionModel() && m_list->selectionModel()->isSelected(m_index);
        s.focused = m_list->hasFocus() && m_list->currentIndex() == m_index;
        s.offscreen = !m_list->viewport()->rect().intersects(m_list->visualRect(m_index));
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override { return {QStringLiteral("Copy"), QStringLiteral("Delete")}; }
    void doAction(const QString &name) override
    {
        QAction *action = isValid() && actionNames().contains(name) ? actionNamed(m_list, name) : nullptr;
        if (!action)
            return;
        // The actions work on the current row.
        m_list->setCurrentIndex(m_index);
        action->trigger();
    }
    QStringList keyBindingsForAction(const QString &name) const override
    {
        QStringList keys;
        if (QAction *action = isValid() ? actionNamed(m_list, name) : nullptr) {
            for (const QKeySequence &k : action->shortcuts())
                keys << k.toString(QKeySequence::NativeText);
        }
        return keys;
    }

private:
    QPointer<QListView> m_list;
    QPersistentModelIndex m_index;
};

class ListAccess final : public QAccessibleWidget {
public:
    explicit ListAccess(QListView *list) : QAccessibleWidget(list, QAccessible::List) {}
    ~ListAccess() override
    {
        for (QAccessible::Id id : std::as_const(m_rows))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return model() ? model()->rowCount() : 0; }
    QAccessibleInterface *child(int index) const override
    {
        if (!model() || index < 0 || index >= model()->rowCount())
            return nullptr;
        const QPersistentModelIndex key(model()->index(index, 0));
        if (const auto it = m_rows.constFind(key); it != m_rows.cend())
            return QAccessible::accessibleInterface(*it);
        forgetRemovedRows();
        auto *row = new RowAccess(list(), key);
        m_rows.insert(key, QAccessible::registerAccessibleInterface(row));
        return row;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it) {
            if (QAccessible::accessibleInterface(it.value()) == child)
                return it.key().isValid() ? it.key().row() : -1;
        }
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QModelIndex index = list()->indexAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return index.isValid() ? child(index.row()) : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        const QModelIndex current = list()->currentIndex();
        return list()->hasFocus() && current.isValid() ? child(current.row()) : nullptr;
    }

private:
    QListView *list() const { return static_cast<QListView *>(widget()); }
    QAbstractItemModel *model() const { return list()->model(); }

    // Rows asked for are kept (tools hold on to their ids) until they are
    // gone from the model.
    void forgetRemovedRows() const
    {
        for (auto it = m_rows.begin(); it != m_rows.end();) {
            if (it.key().isValid()) {
                ++it;
                continue;
            }
            QAccessible::deleteAccessibleInterface(it.value());
            it = m_rows.erase(it);
        }
    }

    mutable QHash<QPersistentModelIndex, QAccessible::Id> m_rows;
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("HistoryListView") && object)
        return new ListAccess(static_cast<QListView *>(object));
    return nullptr;
}

} // namespace

HistoryListView::HistoryListView(QWidget *parent) : QListView(parent)
{
    static const bool installed = (QAccessible::installFactory(&factory), true);
    Q_UNUSED(installed);
}
