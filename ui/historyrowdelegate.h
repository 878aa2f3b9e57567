#pragma once
// HistoryRowDelegate: paints one history row (date and time, download,
// upload, latency and jitter, the Bufferbloat grade where the row has room
// for it, then the "Copy" and delete buttons on the right) and turns clicks
// on those painted buttons into signals. Elsewhere on a row, its tooltip
// gives the loaded latencies, the grade and the grade's scale. Main thread
// only; it serves exactly the list view given at construction, whose model
// must be a HistoryModel. Rows all have the same height, so the view can
// lay out any number of them without measuring each.
#include "testresult.h"

#include <QPersistentModelIndex>
#include <QRect>
#include <QStyledItemDelegate>

class QAbstractItemView;

// What a row shows, formatted; paint() draws exactly these strings.
struct HistoryRowTexts {
    QString date;     // medium date, e.g. "Dec 5, 2026"
    QString time;     // short time, e.g. "12:43 PM"
    QString values[4]; // value and unit, e.g. "93.5 Mbps"
    QString grade;    // "A+" to "F"; an em dash without loaded latencies
    QString toolTip;  // the loaded latencies and the grade, then its scale

    static HistoryRowTexts of(const TestResult &result);
};

class HistoryRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    enum class Button { none, copy, remove };

    // Turns on mouse tracking of view's viewport for the hover feedback.
    explicit HistoryRowDelegate(QAbstractItemView *view);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    // Where a row whose rectangle is rowRect has its buttons.
    QRect buttonRect(const QRect &rowRect, Button which) const;
    Button buttonAt(const QRect &rowRect, const QPoint &pos) const;
    // Where a row shows the title and value of a column (0 to 3).
    static QRect metricRect(const QRect &rowRect, int column);
    // The tooltip shown at pos in a row; empty where there is none.
    static QString toolTip(Button which);
    // Where the grade goes in a row, or an empty rectangle without room.
    QRect gradeRect(const QRect &rowRect) const;

    // Width of text drawn with every digit in a cell of the same width.
    static int tabularWidth(const QFontMetrics &metrics, const QString &text);

    // Column titles, units and colours follow this order.
    static const char *const titles[4];
    static const char *const units[4];
    static QColor valueColor(int column, const QPalette &palette);

signals:
    void copyClicked(const QModelIndex &index);
    void deleteClicked(const QModelIndex &index);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setHover(const QModelIndex &index, Button which);
    void updateRow(const QModelIndex &index) const;
    QAbstractItemView *liveView() const;

    QAbstractItemView *m_view;
    QObject *m_viewObject;
    QWidget *m_viewport;
    QPersistentModelIndex m_hoverIndex;
    Button m_hoverButton = Button::none;
    QPersistentModelIndex m_pressIndex;
    Button m_pressButton = Button::none;
};
