#include "contentview.h"

#include "historymodel.h"
#include "historyview.h"
#include "speedtest.h"
#include "testview.h"
#include "theme.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>
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
      m_stack(new QVBoxLayout(this)), m_picker(new SegmentedTabBar(this)), m_menuButton(new QToolButton(this))
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

    buildMenu();
    restyle();
    showScreen();
}

QList<QPair<QString, QString>> ContentView::shortcutList()
{
    return {{QStringLiteral("Return"), QStringLiteral("Start a test")},
            {QStringLiteral("Escape"), QStringLiteral("Cancel the running test")},
            {QStringLiteral("Ctrl+Tab, Ctrl+PgDown"), QStringLiteral("Next tab")},
            {QStringLiteral("Ctrl+Shift+Tab, Ctrl+PgUp"), QStringLiteral("Previous tab")},
            {QStringLiteral("Alt+1, Alt+2"), QStringLiteral("Test tab, History tab")},
            {QStringLiteral("Ctrl+C"), QStringLiteral("Copy the chosen result")},
            {QStringLiteral("Delete"), QStringLiteral("Delete the chosen result")},
            {QStringLiteral("Ctrl+Z"), QStringLiteral("Undo a deletion")},
            {QStringLiteral("Shift+F10, Menu"), QStringLiteral("The chosen result's menu")},
            {QStringLiteral("F10"), QStringLiteral("Main menu")},
            {QStringLiteral("F1"), QStringLiteral("Keyboard Shortcuts")},
            {QStringLiteral("Ctrl+W, Ctrl+Q"), QStringLiteral("Close the window and quit")}};
}

QAction *ContentView::addShortcut(const QString &text, const QList<QKeySequence> &keys,
                                  const std::function<void()> &run)
{
    auto *action = new QAction(text, this);
    action->setShortcuts(keys);
    connect(action, &QAction::triggered, this, run);
    addAction(action);
    return action;
}

void ContentView::buildMenu()
{
    m_menuButton->setObjectName(QStringLiteral("menuButton"));
    m_menuButton->setAccessibleName(QStringLiteral("Main Menu"));
    m_menuButton->setToolTip(QStringLiteral("Main Menu"));
    m_menuButton->setAutoRaise(true);
    m_menuButton->setPopupMode(QToolButton::InstantPopup);
    m_menuButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    // Out of the Tab chain, as in other desktop programs: F10 opens it.
    m_menuButton->setFocusPolicy(Qt::NoFocus);

    const auto next = [this](int step) { setTab(Tab((int(m_tab) + step + int(std::size(allTabs))) % int(std::size(allTabs)))); };
    auto *menu = new QMenu(m_menuButton);
    menu->addAction(addShortcut(QStringLiteral("Keyboard Shortcuts"), {QKeySequence(Qt::Key_F1)}, [this] { showShortcuts(); }));
    menu->addAction(addShortcut(QStringLiteral("About Quorvel"), {}, [this] { showAbout(); }));
    menu->addSeparator();
    menu->addAction(addShortcut(QStringLiteral("Quit"), {QKeySequence(Qt::CTRL | Qt::Key_Q)}, [] { QApplication::closeAllWindows(); }));
    m_menuButton->setMenu(menu);
    addShortcut(QStringLiteral("Main Menu"), {QKeySequence(Qt::Key_F10)}, [this] {
        m_menuButton->menu()->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height())));
    });
    addShortcut(QStringLiteral("Close"), {QKeySequence(Qt::CTRL | Qt::Key_W)}, [this] { close(); });
    addShortcut(QStringLiteral("Next Tab"), {QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)},
                [next] { next(1); });
    addShortcut(QStringLiteral("Previous Tab"),
                {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
                 QKeySequence(Qt::CTRL | Qt::Key_PageUp)},
                [next] { next(-1); });
    for (Tab t : allTabs)
        addShortcut(tabTitle(t), {QKeySequence(Qt::ALT | Qt::Key(Qt::Key_1 + int(t)))}, [this, t] { setTab(t); });
}

void ContentView::showAbout()
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Quorvel"),
                                QStringLiteral("<b>Quorvel</b> %1").arg(QStringLiteral(QUORVEL_VERSION)),
                                QMessageBox::Close, this);
    box->setObjectName(QStringLiteral("aboutDialog"));
    box->setInformativeText(QStringLiteral("Measures the latency, download and upload of your internet connection."
                                           "<br><br>Server: %1")
                                .arg(m_test->origin().toHtmlEscaped()));
    box->setIconPixmap(QApplication::windowIcon().pixmap(64));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void ContentView::showShortcuts()
{
    auto *dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("shortcutsDialog"));
    dialog->setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto *form = new QFormLayout(dialog);
    form->setHorizontalSpacing(24);
    for (const auto &[keys, what] : shortcutList()) {
        auto *key = new QLabel(QStringLiteral("<b>%1</b>").arg(keys.toHtmlEscaped()), dialog);
        form->addRow(key, new QLabel(what, dialog));
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    form->addRow(buttons);
    dialog->open();
}

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // In the picker's row, as far right as the picker sits from the top.
    const QSize size = m_menuButton->sizeHint();
    m_menuButton->setGeometry(width() - 12 - size.width(), m_picker->geometry().center().y() - size.height() / 2 + 1,
                              size.width(), size.height());
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
    // Three bars where the icon theme has no menu icon.
    QPixmap bars(QSize(16, 16) * devicePixelRatioF());
    bars.setDevicePixelRatio(devicePixelRatioF());
    bars.fill(Qt::transparent);
    {
        QPainter p(&bars);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(palette().color(QPalette::ButtonText), 2, Qt::SolidLine, Qt::RoundCap));
        for (double y : {3.5, 8.0, 12.5})
            p.drawLine(QPointF(2, y), QPointF(14, y));
    }
    const QPixmap themed = Theme::symbolicIcon(QStringLiteral("open-menu"), 16, palette().color(QPalette::ButtonText),
                                               devicePixelRatioF());
    m_menuButton->setIcon(QIcon(themed.isNull() ? bars : themed));

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
