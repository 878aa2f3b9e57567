#include "historyemptystate.h"

#include "historyicons.h"
#include "theme.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// The 40-point symbol: a square a little larger than the glyph's em.
constexpr int iconSide = 48;

class ClockArrowIcon final : public QWidget {
public:
    explicit ClockArrowIcon(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(iconSide, iconSide);
        setAccessibleName(QStringLiteral("History"));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const int side = std::min(width(), height());
        const QPixmap themed = Theme::symbolicIcon(QStringLiteral("document-open-recent"), side,
                                                   Theme::secondary(palette()), devicePixelRatioF());
        if (themed.isNull())
            HistoryIcons::paintClockArrow(&p, QRectF(rect()), Theme::secondary(palette()));
        else
            p.drawPixmap(QRect(rect().center() - QPoint(side / 2, side / 2), QSize(side, side)), themed);
    }
};

} // namespace

HistoryEmptyState::HistoryEmptyState(QWidget *parent)
    : QWidget(parent)
    , m_icon(new ClockArrowIcon(this))
    , m_title(new QLabel(tr("No results yet"), this))
    , m_hint(new QLabel(tr("Run a test and it will be saved here."), this))
{
    QFont titleFont = font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    m_title->setFont(titleFont);
    for (QLabel *l : {m_title, m_hint}) {
        l->setAlignment(Qt::AlignCenter);
        l->setWordWrap(true);
    }

    auto *column = new QVBoxLayout(this);
    column->setSpacing(8);
    column->addStretch(1);
    column->addWidget(m_icon, 0, Qt::AlignHCenter);
    column->addWidget(m_title);
    column->addWidget(m_hint);
    column->addStretch(1);
    applyPalette();
}

void HistoryEmptyState::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
}

void HistoryEmptyState::applyPalette()
{
    QPalette muted = m_hint->palette();
    muted.setColor(QPalette::WindowText, Theme::secondary(palette()));
    m_hint->setPalette(muted);
    m_icon->update();
}
