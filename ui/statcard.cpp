#include "statcard.h"

#include "textfit.h"
#include "theme.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {
constexpr int figurePixels = 40;
constexpr double figureMinScale = 0.6;
constexpr int unitGap = 4;
const QString emDash = QStringLiteral("\u2014");
} // namespace

FigureLine::FigureLine(const QString &unit, QWidget *parent) : QWidget(parent), m_figure(emDash), m_unit(unit)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void FigureLine::setFigure(const QString &figure)
{
    if (figure == m_figure)
        return;
    m_figure = figure;
    update();
}

QSize FigureLine::sizeHint() const
{
    const QFontMetrics big(Theme::figureFont(figurePixels));
    const QFontMetrics unit(Theme::font(Theme::TextStyle::body));
    return {big.horizontalAdvance(m_figure) + unitGap + unit.horizontalAdvance(m_unit), big.height()};
}

QSize FigureLine::minimumSizeHint() const { return {0, sizeHint().height()}; }

void FigureLine::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QFont unitFont = Theme::font(Theme::TextStyle::body);
    const int unitWidth = QFontMetrics(unitFont).horizontalAdvance(m_unit);
    const int room = std::max(0, width() - unitWidth - unitGap);
    const QFont base = Theme::figureFont(figurePixels);
    const QFont big = TextFit::shrunk(base, m_figure, room, figureMinScale);
    const QFontMetrics bm(big);
    // Share the baseline of the full-size figure so the card's height never
    // jumps when the figure shrinks.
    const int baseline = QFontMetrics(base).ascent();
    const QString shown = bm.elidedText(m_figure, Qt::ElideRight, room);
    p.setFont(big);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QPoint(0, baseline), shown);
    p.setFont(unitFont);
    p.setPen(Theme::secondary(palette()));
    p.drawText(QPoint(bm.horizontalAdvance(shown) + unitGap, baseline), m_unit);
}

StatCard::StatCard(const QString &title, const QString &unit, Theme::Hue hue, QWidget *parent)
    : QWidget(parent), m_title(title), m_unit(unit), m_hue(hue), m_titleLabel(new QLabel(title, this)),
      m_figure(new FigureLine(unit, this)), m_detail(new OneLineLabel(this))
{
    setObjectName(title.toLower() + QStringLiteral("Card"));
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(14, 14, 14, 14);
    stack->setSpacing(4);
    stack->addWidget(m_titleLabel);
    stack->addWidget(m_figure);
    stack->addWidget(m_detail);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    restyle();
    updateAccessibleName();
}

void StatCard::setValue(const std::optional<QString> &value)
{
    m_figure->setFigure(value.value_or(emDash));
    updateAccessibleName();
}

void StatCard::setDetail(const QString &detail)
{
    m_detail->setText(detail);
    updateAccessibleName();
}

void StatCard::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    update();
}

QString StatCard::valueText() const { return m_figure->figure(); }

QString StatCard::detailText() const { return m_detail->text(); }

QWidget *StatCard::detailLabel() const { return m_detail; }

void StatCard::updateAccessibleName()
{
    QString name = m_title + QLatin1Char(' ') + valueText() + QLatin1Char(' ') + m_unit;
    if (!detailText().isEmpty())
        name += QStringLiteral(", ") + detailText();
    setAccessibleName(name);
}

void StatCard::restyle()
{
    QFont titleFont = Theme::font(Theme::TextStyle::subheadline);
    titleFont.setWeight(QFont::DemiBold);
    m_titleLabel->setFont(titleFont);
    QPalette tp = m_titleLabel->palette();
    tp.setColor(QPalette::WindowText, Theme::readable(color(), Theme::blend(palette().color(QPalette::Window),
                                                                            Theme::secondary(palette()), Theme::panelTint)));
    m_titleLabel->setPalette(tp);
    m_detail->setFont(Theme::font(Theme::TextStyle::caption));
    m_detail->setColor(Theme::secondary(palette()));
}

void StatCard::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationFontChange)
        restyle();
    QWidget::changeEvent(event);
}

void StatCard::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::withAlpha(Theme::secondary(palette()), Theme::panelTint));
    p.drawRoundedRect(box, 12, 12);
    if (m_active) {
        // Drawn inside the card so the outline takes no layout space.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(color(), 2));
        p.drawRoundedRect(box, 12, 12);
    }
}
