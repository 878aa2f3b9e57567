#pragma once
// Banner: a full-width tinted notice with a struck-through Wi-Fi sign, used
// for the last error and for the offline notice, or with a warning sign for
// trouble that is not the network's. Purely presentational: it shows what it
// is given. Main thread only.
#include "theme.h"

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

class Banner : public QWidget {
    Q_OBJECT
public:
    enum class Sign { wifiSlash, warning };
    explicit Banner(QWidget *parent = nullptr, Sign sign = Sign::wifiSlash);

    // detail: more for whoever asks, as the tooltip and the accessible
    // description; empty for none.
    void set(const QString &text, Theme::Hue hue, const QString &detail = {});
    QString text() const;
    // The tint in the banner's own palette.
    QColor color() const { return Theme::color(m_hue, palette()); }
    QLabel *label() const { return m_text; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void restyle();

    QLabel *m_icon;
    QLabel *m_text;
    Theme::Hue m_hue = Theme::Hue::red;
    Sign m_sign;
};

// A Wi-Fi sign with a slash through it, drawn at the given size and colour.
QPixmap wifiSlashIcon(int size, const QColor &color, qreal devicePixelRatio);
// A triangle with an exclamation mark, likewise.
QPixmap warningIcon(int size, const QColor &color, qreal devicePixelRatio);
