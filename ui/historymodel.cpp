#include "historymodel.h"

#include "fmt.h"
#include "historystore.h"

#include <utility>

namespace {

// A row may stay as it is while its record holds the same bits: a NaN field,
// never equal to itself, must not turn an untouched row into a changed one.
bool rowUnchanged(const TestResult &shown, const TestResult &stored)
{
    return sameBits(shown, stored);
}

// Past this many separate runs of removed rows a reset is cheaper than
// moving the tail of a long list once per run.
constexpr int maxRemovedRuns = 32;

} // namespace

HistoryModel::HistoryModel(HistoryStore *store, QObject *parent)
    : QAbstractListModel(parent)
    , m_store(store)
    , m_items(store->items())
{
    connect(store, &HistoryStore::itemsChanged, this, &HistoryModel::sync);
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const TestResult &r = m_items.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return Fmt::dateTime(r.date) + QStringLiteral(": download ") + Fmt::speed(r.download)
            + QStringLiteral(" Mbps, upload ") + Fmt::speed(r.upload)
            + QStringLiteral(" Mbps, latency ") + Fmt::ms(r.latencyMedian)
            + QStringLiteral(" ms, jitter ") + Fmt::ms(r.jitter) + QStringLiteral(" ms");
    case Qt::AccessibleDescriptionRole:
        return tr("Copy with Ctrl+C, delete with the Delete key");
    default:
        return {};
    }
}

void HistoryModel::sync()
{
    const QList<TestResult> &next = m_store->items();
    if (next.isEmpty() && m_items.isEmpty())
        return;
    emit aboutToSync();
    if (!syncByInsertingAtTop(next) && !syncByRemoving(next)) {
        beginResetModel();
        m_items = next;
        endResetModel();
    }
    emit synced();
}

bool HistoryModel::syncByInsertingAtTop(const QList<TestResult> &next)
{
    const qsizetype added = next.size() - m_items.size();
    if (added <= 0)
        return false;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (!rowUnchanged(next.at(added + i), m_items.at(i)))
            return false;
    }
    beginInsertRows({}, 0, int(added - 1));
    m_items = next;
    endInsertRows();
    return true;
}

bool HistoryModel::syncByRemoving(const QList<TestResult> &next)
{
    if (next.size() >= m_items.size() || next.isEmpty())
        return false;
    // next must be m_items with some rows left out: match it greedily and
    // collect the runs of rows that have no partner.
    QList<std::pair<qsizetype, qsizetype>> runs; // first row, count
    qsizetype j = 0;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (j < next.size() && rowUnchanged(m_items.at(i), next.at(j))) {
            ++j;
            continue;
        }
        if (!runs.isEmpty() && runs.last().first + runs.last().second == i)
            ++runs.last().second;
        else if (runs.size() == maxRemovedRuns)
            return false;
        else
            runs.append({i, 1});
    }
    if (j != next.size())
        return false;
    // Bottom up, so the rows of the runs still to come keep their numbers.
    for (auto it = runs.crbegin(); it != runs.crend(); ++it) {
        beginRemoveRows({}, int(it->first), int(it->first + it->second - 1));
        m_items.remove(it->first, it->second);
        endRemoveRows();
    }
    // Same content, but share the store's copy instead of keeping our own.
    m_items = next;
    return true;
}
