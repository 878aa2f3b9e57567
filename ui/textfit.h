#pragma once
// Text that must stay on one line: a font that shrinks to fit a width (down
// to a floor, then the text is elided), and a label that elides instead of
// widening its parent. Main thread only.
#include <QFont>
#include <QString>
#include <QWidget>

namespace TextFit {

// The base font scaled down just enough for text to fit in width pixels,
// but never below minScale of its size.
QFont shrunk(const QFont &base, const QString &text, int width, double minScale);

} // namespace TextFit

// A one-line label that elides its text at the right when narrow and asks
// for no width of its own, so long texts never stretch a layout. An empty
// text keeps the line's height.
class OneLineLabel : public QWidget {
    Q_OBJECT
public:
    explicit OneLineLabel(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return m_text; }
    void setColor(const QColor &color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QColor m_color;
};
