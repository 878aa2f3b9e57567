#include "contentview.h"

#include "historymodel.h"
#include "historyview.h"
#include "testview.h"
#include "theme.h"

#include <QEvent>
#include <QFrame>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabBar>
#include <QVBoxLayout>

namespace {

// The picker: a tab bar whose segments the style draws as joined push
// buttons, the chosen one filled with the palette's highlight.
class SegmentedTabBar final : public QTabBar {
public:
    explicit SegmentedTabBar(QWidget *parent) : QTabBar(parent)
    {
        setExpanding(true);
        setDrawBase(false);
        setUsesScrollButtons(false);
        setElideMode(Qt::ElideNone);
    }

protected:
    QSize tabSizeHint(int) const override
    {
        return {ContentView::pickerWidth / std::max(1, count()), fontMetrics().height() + 10};
    }

    void paintEvent(QPaintEvent *) override
    {
        QStylePainter p(this);
        const int hovered = underMouse() ? tabAt(mapFromGlobal(QCursor::pos())) : -1;
        for (int i = 0; i < count(); ++i) {
            QStyleOptionButton b;
            b.initFrom(this);
            b.rect = tabRect(i);
            b.text = tabText(i);
            b.state &= ~(QStyle::State_HasFocus | QStyle::State_MouseOver);
            if (i == hovered)
                b.state |= QStyle::State_MouseOver;
            if (i != currentIndex()) {
                b.state |= QStyle::State_Raised;
                p.drawControl(QStyle::CE_PushButton, b);
                continue;
            }
            // The chosen segment: flat in the accent, as the default button.
            const Theme::Accent a = Theme::accent(palette());
            p.save();
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(a.fill);
            p.drawRoundedRect(QRectF(b.rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
            p.setPen(a.text);
            p.drawText(b.rect, Qt::AlignCenter, b.text);
            p.restore();
        }
        if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange))
            Theme::paintFocusRing(p, tabRect(currentIndex()), Theme::accent(palette()).text);
    }
};

} // namespace

ContentView::ContentView(SpeedTest *test, HistoryStore *history, QWidget *parent)
    : QWidget(parent), m_test(test), m_history(history), m_historyModel(new HistoryModel(history, this)),
      m_stack(new QVBoxLayout(this)), m_picker(new SegmentedTabBar(this))
{
    setObjectName(QStringLiteral("contentView"));
    setMinimumSize(minimumWidth, minimumHeight);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->setSpacing(0);

    m_picker->setObjectName(QStringLiteral("tabPicker"));
    m_picker->setAccessibleName(QStringLiteral("Tab"));
    m_picker->setFixedWidth(pickerWidth);
    for (Tab t : allTabs)
        m_picker->addTab(tabTitle(t));
    m_picker->setCurrentIndex(int(m_tab));
    connect(m_picker, &QTabBar::currentChanged, this, [this](int index) { setTab(Tab(index)); });

    m_stack->addSpacing(12);
    m_stack->addWidget(m_picker, 0, Qt::AlignHCenter);
    m_stack->addSpacing(12);
    auto *divider = new QFrame(this);
    divider->setObjectName(QStringLiteral("divider"));
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setFixedHeight(1);
    m_stack->addWidget(divider);

    restyle();
    showScreen();
}

QRect ContentView::segmentRect(Tab tab) const { return m_picker->tabRect(int(tab)); }

void ContentView::setTab(Tab tab)
{
    if (tab == m_tab)
        return;
    m_tab = tab;
    m_picker->setCurrentIndex(int(tab)); // comes back here with tab == m_tab
    showScreen();
    emit tabChanged(tab);
}

void ContentView::showScreen()
{
    if (m_screen) {
        m_stack->removeWidget(m_screen);
        delete m_screen;
    }
    m_testView = nullptr;
    m_historyView = nullptr;
    if (m_tab == Tab::test)
        m_screen = m_testView = new TestView(m_test, this);
    else
        m_screen = m_historyView = new HistoryView(m_history, m_historyModel, this);
    m_stack->addWidget(m_screen, 1);
    m_screen->show();
}

void ContentView::restyle()
{
    const QColor muted = Theme::secondary(palette());
    if (auto *divider = findChild<QFrame *>(QStringLiteral("divider"))) {
        QPalette dp = divider->palette();
        dp.setColor(QPalette::WindowText, Theme::withAlpha(muted, 0.4));
        divider->setPalette(dp);
    }
}

void ContentView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QWidget::changeEvent(event);
}
