#pragma once
// StatCard: one figure of the test screen (latency, download or upload) on
// a softly filled card with a title, the figure and its unit, and one line
// of detail. Purely presentational: it shows what it is given. An active
// card is outlined in its colour. Main thread only.
#include "theme.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <optional>

class QLabel;
class OneLineLabel;
class FigureLine;

class StatCard : public QWidget {
    Q_OBJECT
public:
    StatCard(const QString &title, const QString &unit, Theme::Hue hue, QWidget *parent = nullptr);

    // Absent shows an em dash.
    void setValue(const std::optional<QString> &value);
    // Empty keeps the line's height.
    void setDetail(const QString &detail);
    void setActive(bool active);

    QString title() const { return m_title; }
    QString valueText() const; // what the figure shows
    QString unitText() const { return m_unit; }
    QString detailText() const;
    // The accent in the card's own palette.
    QColor color() const { return Theme::color(m_hue, palette()); }
    QLabel *titleLabel() const { return m_titleLabel; }
    QWidget *detailLabel() const;
    bool isActive() const { return m_active; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void restyle();
    void updateAccessibleName();

    QString m_title;
    QString m_unit;
    Theme::Hue m_hue;
    bool m_active = false;
    QLabel *m_titleLabel;
    FigureLine *m_figure;
    OneLineLabel *m_detail;
};

// The figure and its unit on one baseline; the figure shrinks to 60 % of
// its size before it is elided.
class FigureLine : public QWidget {
    Q_OBJECT
public:
    explicit FigureLine(const QString &unit, QWidget *parent = nullptr);

    void setFigure(const QString &figure);
    QString figure() const { return m_figure; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_figure;
    QString m_unit;
};
