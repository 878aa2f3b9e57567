#include "testview.h"

#include "banner.h"
#include "fmt.h"
#include "gaugeview.h"
#include "livegraph.h"
#include "speedtest.h"
#include "statcard.h"
#include "theme.h"

#include <QApplication>
#include <QClipboard>
#include <QPainter>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {
constexpr int inset = 24;
constexpr int gap = 18;
// Half the dial's stroke lies outside its 250-pixel frame; the gauge widget
// includes it, so the gaps around the gauge row are that much smaller.
constexpr int overhang = (GaugeView::side - GaugeView::dial) / 2;

// The default action: the style's own push button, filled with the
// palette's highlight, with a focus ring that shows on that fill.
class ProminentButton final : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPushButton::paintEvent(event);
        if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
            QPainter p(this);
            Theme::paintFocusRing(p, rect(), palette().color(QPalette::ButtonText));
        }
    }
};

std::optional<QString> maybe(const std::optional<double> &v, QString (*format)(double))
{
    if (!v)
        return std::nullopt;
    return format(*v);
}
} // namespace

TestScreenState TestScreenState::of(const SpeedTest &t)
{
    TestScreenState s;
    s.phase = t.phase();
    s.latencyMedian = t.latencyMedian();
    s.latencyMin = t.latencyMin();
    s.latencyMax = t.latencyMax();
    s.jitter = t.jitter();
    s.download = t.download();
    s.upload = t.upload();
    s.errorMessage = t.errorMessage();
    if (t.outcome() && t.outcome()->kind == TestOutcome::Kind::failed)
        s.errorCause = t.outcome()->cause;
    s.status = t.status();
    s.isOnline = t.isOnline();
    s.lastResult = t.lastResult();
    return s;
}

namespace TestScreen {

std::optional<BannerChoice> banner(const TestScreenState &state)
{
    if (state.errorMessage)
        return BannerChoice{*state.errorMessage, Theme::Hue::red, state.errorCause};
    if (!state.isOnline)
        return BannerChoice{offlineText, Theme::Hue::orange, {}};
    return std::nullopt;
}

QString latencyDetail(const TestScreenState &s)
{
    if (!s.latencyMin || !s.latencyMax || !s.jitter)
        return {};
    return QStringLiteral("median \u00B7 range ") + Fmt::ms(*s.latencyMin) + QStringLiteral("\u2013") +
           Fmt::ms(*s.latencyMax) + QStringLiteral(" \u00B7 jitter ") + Fmt::ms(*s.jitter);
}

QString startLabel(Phase phase)
{
    return phase == Phase::done ? QStringLiteral("Test Again") : QStringLiteral("Start");
}

} // namespace TestScreen

TestView::TestView(SpeedTest *test, QWidget *parent)
    : QWidget(parent), m_test(test), m_stack(new QVBoxLayout(this)),
      m_top(new QSpacerItem(0, inset - overhang, QSizePolicy::Minimum, QSizePolicy::Fixed)),
      m_bannerGap(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed)), m_banner(new Banner(this)),
      m_gauge(new GaugeView(test, this)), m_graph(new LiveGraph(test, this)),
      m_latency(new StatCard(QStringLiteral("LATENCY"), QStringLiteral("ms"), Theme::Hue::orange, this)),
      m_download(new StatCard(QStringLiteral("DOWNLOAD"), QStringLiteral("Mbps"), Theme::Hue::blue, this)),
      m_upload(new StatCard(QStringLiteral("UPLOAD"), QStringLiteral("Mbps"), Theme::Hue::purple, this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)), m_status(new QLabel(this)),
      m_start(new ProminentButton(QStringLiteral("Start"), this)),
      m_copy(new QPushButton(QStringLiteral("Copy Result"), this))
{
    setObjectName(QStringLiteral("testView"));
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->setAccessibleName(QStringLiteral("Cancel"));
    m_status->setObjectName(QStringLiteral("statusText"));
    m_start->setObjectName(QStringLiteral("startButton"));
    m_copy->setObjectName(QStringLiteral("copyButton"));
    m_copy->setAccessibleName(QStringLiteral("Copy Result"));
    m_start->setDefault(true);
    m_banner->hide();

    m_stack->setContentsMargins(inset, 0, inset, inset);
    m_stack->setSpacing(0);
    m_stack->addSpacerItem(m_top);
    m_stack->addWidget(m_banner);
    m_stack->addSpacerItem(m_bannerGap);

    auto *dialRow = new QHBoxLayout;
    dialRow->setSpacing(inset - overhang);
    dialRow->addWidget(m_gauge, 0, Qt::AlignVCenter);
    dialRow->addWidget(m_graph, 1, Qt::AlignVCenter);
    m_stack->addLayout(dialRow);
    m_stack->addSpacing(gap - overhang);

    auto *cards = new QHBoxLayout;
    cards->setSpacing(14);
    for (StatCard *card : {m_latency, m_download, m_upload})
        cards->addWidget(card, 1, Qt::AlignVCenter);
    m_stack->addLayout(cards);
    m_stack->addSpacing(gap);
    m_stack->addStretch(1);
    m_stack->addSpacing(gap);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(14);
    controls->addStretch(1);
    for (QWidget *w : {static_cast<QWidget *>(m_cancel), static_cast<QWidget *>(m_status),
                       static_cast<QWidget *>(m_start), static_cast<QWidget *>(m_copy)})
        controls->addWidget(w, 0, Qt::AlignVCenter);
    controls->addStretch(1);
    m_stack->addLayout(controls);

    m_cancel->setFixedWidth(140 + 24);
    // The row goes after the picker: picker, Start, Copy Result (or Cancel).
    setTabOrder(m_start, m_copy);

    connect(m_start, &QPushButton::clicked, this, [this] { m_test->start(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { m_test->cancel(); });
    connect(m_copy, &QPushButton::clicked, this, &TestView::copyResult);
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, &TestView::pressReturn);
    }
    connect(m_test, &SpeedTest::changed, this, &TestView::refresh);

    restyle();
    refresh();
}

void TestView::refresh() { render(TestScreenState::of(*m_test)); }

void TestView::render(const TestScreenState &s)
{
    const auto choice = TestScreen::banner(s);
    if (choice)
        m_banner->set(choice->text, choice->hue, choice->detail);
    if (choice.has_value() != isBannerShown()) {
        m_banner->setVisible(choice.has_value());
        // No banner leaves no gap: only the inset above the gauge remains.
        m_top->changeSize(0, choice ? inset : inset - overhang, QSizePolicy::Minimum, QSizePolicy::Fixed);
        m_bannerGap->changeSize(0, choice ? gap - overhang : 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
        m_stack->invalidate();
    }

    m_latency->setValue(maybe(s.latencyMedian, Fmt::ms));
    m_latency->setDetail(TestScreen::latencyDetail(s));
    m_latency->setActive(s.phase == Phase::latency);
    m_download->setValue(maybe(s.download, Fmt::speed));
    m_download->setActive(s.phase == Phase::download);
    m_upload->setValue(maybe(s.upload, Fmt::speed));
    m_upload->setActive(s.phase == Phase::upload);

    const bool running = s.isRunning();
    m_status->setText(s.status);
    m_cancel->setVisible(running);
    m_status->setVisible(running);
    m_start->setText(TestScreen::startLabel(s.phase));
    m_start->setAccessibleName(m_start->text());
    m_start->setEnabled(s.isOnline);
    m_start->setVisible(!running);
    // Copy takes the result as it is on screen now.
    m_shownResult = s.lastResult;
    m_copy->setVisible(!running && s.lastResult.has_value());
}

bool TestView::isBannerShown() const { return !m_banner->isHidden(); }

QString TestView::statusText() const { return m_status->text(); }

void TestView::copyResult()
{
    if (!m_shownResult)
        return;
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_shownResult->summary());
}

void TestView::pressReturn()
{
    // Return is the focused button's, as Space is; elsewhere it is Start's.
    if (auto *focused = qobject_cast<QAbstractButton *>(QApplication::focusWidget());
        focused && focused->window() == window() && focused->isVisible() && focused->isEnabled()) {
        focused->click();
        return;
    }
    if (!m_start->isHidden() && m_start->isEnabled())
        m_start->click();
}

void TestView::restyle()
{
    QFont title2 = Theme::font(Theme::TextStyle::title2);
    title2.setWeight(QFont::Bold);
    m_start->setFont(title2);
    const QPalette pal = palette();
    const QColor muted = Theme::secondary(pal);
    // The prominent look of the default action: the style's button in the
    // highlight. Disabled, it keeps the style's own disabled colours.
    QPalette accent = pal;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        accent.setColor(group, QPalette::Button, pal.color(group, QPalette::Highlight));
        accent.setColor(group, QPalette::ButtonText, pal.color(group, QPalette::HighlightedText));
    }
    m_start->setPalette(accent);
    const QFont body = Theme::font(Theme::TextStyle::body);
    m_cancel->setFont(body);
    m_copy->setFont(body);
    m_status->setFont(body);
    QPalette sp = m_status->palette();
    sp.setColor(QPalette::WindowText, muted);
    m_status->setPalette(sp);
    // One height for the row's buttons, the tallest label's.
    int height = 32;
    for (QPushButton *b : {m_start, m_cancel, m_copy})
        height = std::max(height, b->sizeHint().height());
    m_start->setFixedSize(212, height);
    m_cancel->setFixedHeight(height);
    m_copy->setFixedHeight(height);
    m_copy->setMinimumWidth(QFontMetrics(body).horizontalAdvance(m_copy->text()) + 40);
    // A fixed slot, wide enough for the longest status of a running test, so
    // the row stays put as the status changes.
    int widest = 0;
    for (Phase phase : {Phase::latency, Phase::download, Phase::upload})
        widest = std::max(widest, QFontMetrics(body).horizontalAdvance(runningStatus(phase)));
    m_status->setFixedWidth(widest + 8);
}

void TestView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationFontChange)
        restyle();
    QWidget::changeEvent(event);
}
