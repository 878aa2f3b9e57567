#pragma once
// Banner: a full-width tinted notice with a struck-through Wi-Fi sign, used
// for the last error and for the offline notice, or with a warning sign for
// trouble that is not the network's. Purely presentational: it shows what it
// is given. Main thread only.
#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

class Banner : public QWidget {
    Q_OBJECT
public:
    enum class Sign { wifiSlash, warning };
    explicit Banner(QWidget *parent = nullptr, Sign sign = Sign::wifiSlash);

    void set(const QString &text, const QColor &color);
    QString text() const;
    QColor color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void restyle();

    QLabel *m_icon;
    QLabel *m_text;
    QColor m_color;
    Sign m_sign;
};

// A Wi-Fi sign with a slash through it, drawn at the given size and colour.
QPixmap wifiSlashIcon(int size, const QColor &color, qreal devicePixelRatio);
// A triangle with an exclamation mark, likewise.
QPixmap warningIcon(int size, const QColor &color, qreal devicePixelRatio);
