#pragma once
// HistoryEmptyState: what the History tab shows while there are no results:
// a clock-with-arrow icon, "No results yet" and a hint, centred. Main
// thread only; holds nothing but its labels.
#include <QWidget>

class QLabel;

class HistoryEmptyState final : public QWidget {
    Q_OBJECT

public:
    explicit HistoryEmptyState(QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyPalette();

    QWidget *m_icon;
    QLabel *m_title;
    QLabel *m_hint;
};
