#include "contentview.h"

#include "historyview.h"
#include "testview.h"
#include "theme.h"

#include <QButtonGroup>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

ContentView::ContentView(SpeedTest *test, HistoryStore *history, QWidget *parent)
    : QWidget(parent), m_test(test), m_history(history), m_stack(new QVBoxLayout(this)),
      m_picker(new QWidget(this)), m_segments(new QButtonGroup(this))
{
    setObjectName(QStringLiteral("contentView"));
    setMinimumSize(minimumWidth, minimumHeight);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->setSpacing(0);

    // Two joined, exclusive toggle buttons read as one segmented control.
    m_picker->setObjectName(QStringLiteral("tabPicker"));
    m_picker->setAccessibleName(QStringLiteral("Tab"));
    m_picker->setFixedWidth(pickerWidth);
    auto *segments = new QHBoxLayout(m_picker);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    for (Tab t : allTabs) {
        auto *b = new QPushButton(tabTitle(t), m_picker);
        b->setCheckable(true);
        b->setChecked(t == m_tab);
        b->setObjectName(t == Tab::test ? QStringLiteral("testSegment") : QStringLiteral("historySegment"));
        b->setAccessibleName(tabTitle(t));
        b->setFocusPolicy(Qt::TabFocus);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_segments->addButton(b, int(t));
        segments->addWidget(b);
    }
    m_segments->setExclusive(true);
    connect(m_segments, &QButtonGroup::idClicked, this, [this](int id) { setTab(Tab(id)); });

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

QAbstractButton *ContentView::segment(Tab tab) const { return m_segments->button(int(tab)); }

void ContentView::setTab(Tab tab)
{
    segment(tab)->setChecked(true);
    if (tab == m_tab)
        return;
    m_tab = tab;
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
        m_screen = m_historyView = new HistoryView(m_history, this);
    m_stack->addWidget(m_screen, 1);
    m_screen->show();
}

void ContentView::restyle()
{
    const QPalette pal = palette();
    const QColor muted = Theme::secondary(pal);
    const QString line = Theme::withAlpha(muted, 0.45).name(QColor::HexArgb);
    m_picker->setStyleSheet(
        QStringLiteral("QPushButton { border: 1px solid %1; padding: 4px 0; background: %2; color: %3; }"
                       "QPushButton#testSegment { border-top-left-radius: 6px; border-bottom-left-radius: 6px;"
                       " border-right: none; }"
                       "QPushButton#historySegment { border-top-right-radius: 6px;"
                       " border-bottom-right-radius: 6px; }"
                       "QPushButton:hover:!checked { background: %4; }"
                       "QPushButton:checked { background: %5; color: %6; border-color: %5; }")
            .arg(line, Theme::withAlpha(muted, 0.08).name(QColor::HexArgb), pal.color(QPalette::WindowText).name(),
                 Theme::withAlpha(muted, 0.18).name(QColor::HexArgb), pal.color(QPalette::Highlight).name(),
                 pal.color(QPalette::HighlightedText).name()));
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
