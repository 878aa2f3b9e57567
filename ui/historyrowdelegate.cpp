#include "historyrowdelegate.h"

#include "bufferbloat.h"
#include "fmt.h"
#include "historyicons.h"
#include "historymodel.h"
#include "theme.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

#include <algorithm>

namespace {

// Row geometry, in device-independent pixels.
constexpr int leftPad = 10;
constexpr int rightPad = 8;
constexpr int verticalPad = 6; // the row's own 2 plus the list's inset
constexpr int spacing = 16;
constexpr int dateWidth = 110;
constexpr int metricWidth = 100;
constexpr int lineGap = 2;
constexpr int buttonGap = 8;
constexpr double selectedTint = 0.14;

QFont captionFont(const QFont &body)
{
    QFont f = body;
    // At least 11 pixels, the smallest text that reads comfortably.
    f.setPixelSize(std::max(11, int(std::lround(QFontInfo(body).pixelSize() * 0.85))));
    return f;
}

QFont dateFont(const QFont &body)
{
    QFont f = body;
    f.setWeight(QFont::Medium);
    return f;
}

int buttonHeight(const QFontMetrics &body)
{
    return body.height() + 10;
}

int copyButtonWidth(const QFontMetrics &body)
{
    return std::max(56, body.horizontalAdvance(QStringLiteral("Copy")) + 24);
}

int textBlockHeight(const QFont &body)
{
    return QFontMetrics(body).height() + lineGap + QFontMetrics(captionFont(body)).height();
}

int digitCell(const QFontMetrics &metrics)
{
    int cell = 0;
    for (char c = '0'; c <= '9'; ++c)
        cell = std::max(cell, metrics.horizontalAdvance(QLatin1Char(c)));
    return cell;
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Draws text with its baseline at pos, every digit centred in a cell of the
// widest digit's width, so figures in one column line up row after row.
void drawTabular(QPainter *painter, QPointF pos, const QString &text)
{
    const QFontMetrics fm = painter->fontMetrics();
    const int cell = digitCell(fm);
    for (QChar c : text) {
        const int advance = fm.horizontalAdvance(c);
        if (isDigit(c)) {
            painter->drawText(pos + QPointF((cell - advance) / 2.0, 0), QString(c));
            pos.rx() += cell;
        } else {
            painter->drawText(pos, QString(c));
            pos.rx() += advance;
        }
    }
}

// Cuts text to fit width, marking the cut with an ellipsis.
QString fitTabular(const QFontMetrics &fm, QString text, int width)
{
    if (HistoryRowDelegate::tabularWidth(fm, text) <= width)
        return text;
    const QString ellipsis(QChar(0x2026));
    while (!text.isEmpty()
           && HistoryRowDelegate::tabularWidth(fm, text + ellipsis) > width)
        text.chop(1);
    return text + ellipsis;
}

} // namespace

const char *const HistoryRowDelegate::titles[4] = {"Download", "Upload", "Latency", "Jitter"};
const char *const HistoryRowDelegate::units[4] = {"Mbps", "Mbps", "ms", "ms"};

QColor HistoryRowDelegate::valueColor(int column, const QPalette &palette)
{
    // Readable on the list's base under the current row's tint too.
    const QColor behind = Theme::blend(palette.color(QPalette::Base), palette.color(QPalette::Highlight), selectedTint);
    switch (column) {
    case 0: return Theme::readable(Theme::blue(palette), behind);
    case 1: return Theme::readable(Theme::purple(palette), behind);
    case 2: return Theme::readable(Theme::orange(palette), behind);
    default: return Theme::readable(Theme::secondary(palette), behind);
    }
}

HistoryRowTexts HistoryRowTexts::of(const TestResult &result)
{
    HistoryRowTexts t;
    t.date = Fmt::mediumDate(result.date);
    t.time = Fmt::shortTime(result.date);
    const QString numbers[4] = {Fmt::speed(result.download), Fmt::speed(result.upload),
                                Fmt::ms(result.latencyMedian), Fmt::ms(result.jitter)};
    for (int i = 0; i < 4; ++i)
        t.values[i] = numbers[i] + QLatin1Char(' ') + QLatin1String(HistoryRowDelegate::units[i]);
    const auto grade = Bufferbloat::of(result);
    t.grade = grade ? grade->grade : QStringLiteral("\u2014");
    t.toolTip = Bufferbloat::loadedLine(result) + QStringLiteral("\n\n") + Bufferbloat::scale();
    return t;
}

HistoryRowDelegate::HistoryRowDelegate(QAbstractItemView *view)
    : QStyledItemDelegate(view)
    , m_view(view)
    , m_viewObject(view)
    , m_viewport(view->viewport())
{
    view->viewport()->setMouseTracking(true);
    view->viewport()->installEventFilter(this);
}

int HistoryRowDelegate::tabularWidth(const QFontMetrics &metrics, const QString &text)
{
    const int cell = digitCell(metrics);
    int width = 0;
    for (QChar c : text)
        width += isDigit(c) ? cell : metrics.horizontalAdvance(c);
    return width;
}

QString HistoryRowDelegate::toolTip(Button which)
{
    return which == Button::remove ? tr("Delete") : QString();
}

QRect HistoryRowDelegate::buttonRect(const QRect &rowRect, Button which) const
{
    const QFontMetrics fm(m_view->font());
    const int h = buttonHeight(fm);
    const int top = rowRect.top() + (rowRect.height() - h) / 2;
    const QRect remove(rowRect.right() - rightPad - (h + 6) + 1, top, h + 6, h);
    switch (which) {
    case Button::remove: return remove;
    case Button::copy: {
        const int w = copyButtonWidth(fm);
        return QRect(remove.left() - buttonGap - w, top, w, h);
    }
    case Button::none: break;
    }
    return {};
}

QRect HistoryRowDelegate::gradeRect(const QRect &rowRect) const
{
    // In the flexible space after the four figures, as wide as its caption.
    const QFontMetrics caption(captionFont(m_view->font()));
    const int left = rowRect.left() + leftPad + dateWidth + 4 * (spacing + metricWidth) + spacing;
    const int width = caption.horizontalAdvance(tr("Bufferbloat"));
    if (left + width + spacing > buttonRect(rowRect, Button::copy).left())
        return {};
    return QRect(left, rowRect.top(), width, rowRect.height());
}

HistoryRowDelegate::Button HistoryRowDelegate::buttonAt(const QRect &rowRect, const QPoint &pos) const
{
    for (Button b : {Button::copy, Button::remove}) {
        if (buttonRect(rowRect, b).contains(pos))
            return b;
    }
    return Button::none;
}

QRect HistoryRowDelegate::metricRect(const QRect &rowRect, int column)
{
    const int left = rowRect.left() + leftPad + dateWidth + spacing + column * (metricWidth + spacing);
    return {left, rowRect.top(), metricWidth, rowRect.height()};
}

QSize HistoryRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    const QFontMetrics fm(option.font);
    const int height = 2 * verticalPad + std::max(textBlockHeight(option.font), buttonHeight(fm));
    const int width = leftPad + dateWidth + 4 * (spacing + metricWidth) + spacing
        + copyButtonWidth(fm) + buttonGap + buttonHeight(fm) + 6 + rightPad;
    return {width, height};
}

void HistoryRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const
{
    const auto *model = qobject_cast<const HistoryModel *>(index.model());
    if (!model)
        return;
    const HistoryRowTexts texts = HistoryRowTexts::of(model->result(index.row()));
    const QRect row = option.rect;
    const QPalette &pal = option.palette;
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    const QColor secondary = valueColor(3, pal);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    // Selection and keyboard focus as a tint and an outline, so the coloured
    // figures stay readable on the current row.
    const QRectF card = QRectF(row).adjusted(3, 1.5, -3, -1.5);
    if (option.state & QStyle::State_Selected) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Theme::withAlpha(pal.color(QPalette::Highlight), selectedTint));
        painter->drawRoundedRect(card, 6, 6);
    }
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(pal.color(QPalette::Highlight), 1.5));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(card, 6, 6);
    }
    if (index.row() + 1 < model->rowCount()) {
        painter->setPen(QPen(Theme::withAlpha(secondary, 0.25), 1));
        painter->drawLine(QPointF(row.left() + leftPad, row.bottom() + 0.5),
                          QPointF(row.right() - rightPad, row.bottom() + 0.5));
    }
    painter->setRenderHint(QPainter::Antialiasing, false);

    const QFont body = option.font;
    const QFont caption = captionFont(body);
    const QFont bodyMedium = dateFont(body);
    const QFontMetrics bodyFm(body);
    const QFontMetrics captionFm(caption);
    const int top = row.top() + (row.height() - textBlockHeight(body)) / 2;
    const int bodyFirstBaseline = top + bodyFm.ascent();
    const int captionSecondBaseline = top + bodyFm.height() + lineGap + captionFm.ascent();
    const int captionFirstBaseline = top + captionFm.ascent();
    const int bodySecondBaseline = top + captionFm.height() + lineGap + bodyFm.ascent();

    int x = row.left() + leftPad;
    painter->setFont(bodyMedium);
    painter->setPen(pal.color(QPalette::Text));
    painter->drawText(QPoint(x, bodyFirstBaseline),
                      QFontMetrics(bodyMedium).elidedText(texts.date, Qt::ElideRight, dateWidth));
    painter->setFont(caption);
    painter->setPen(secondary);
    painter->drawText(QPoint(x, captionSecondBaseline),
                      captionFm.elidedText(texts.time, Qt::ElideRight, dateWidth));
    for (int i = 0; i < 4; ++i) {
        x = metricRect(row, i).left();
        painter->setFont(caption);
        painter->setPen(secondary);
        painter->drawText(QPoint(x, captionFirstBaseline), tr(titles[i]));
        painter->setFont(body);
        painter->setPen(valueColor(i, pal));
        drawTabular(painter, QPointF(x, bodySecondBaseline),
                    fitTabular(bodyFm, texts.values[i], metricWidth));
    }

    // The grade, as a small badge under its caption, where there is room.
    if (const QRect grade = gradeRect(row); !grade.isEmpty()) {
        painter->setFont(caption);
        painter->setPen(secondary);
        painter->drawText(QPoint(grade.left(), captionFirstBaseline), tr("Bufferbloat"));
        painter->setFont(body);
        const QRect badge(grade.left(), bodySecondBaseline - bodyFm.ascent(),
                          bodyFm.horizontalAdvance(texts.grade) + 10, bodyFm.height());
        if (Bufferbloat::of(model->result(index.row()))) {
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(Theme::withAlpha(secondary, 0.18));
            painter->drawRoundedRect(QRectF(badge), 4, 4);
            painter->setRenderHint(QPainter::Antialiasing, false);
        }
        painter->setPen(pal.color(QPalette::Text));
        painter->drawText(badge, Qt::AlignCenter, texts.grade);
    }

    // The buttons, in the style's own push-button look.
    for (Button b : {Button::copy, Button::remove}) {
        QStyleOptionButton button;
        button.rect = buttonRect(row, b);
        button.palette = pal;
        button.fontMetrics = bodyFm;
        button.direction = option.direction;
        button.state = QStyle::State_Enabled;
        const bool hovered = m_hoverIndex == index && m_hoverButton == b;
        const bool pressed = m_pressIndex == index && m_pressButton == b && hovered;
        if (hovered)
            button.state |= QStyle::State_MouseOver;
        button.state |= pressed ? QStyle::State_Sunken : QStyle::State_Raised;
        if (option.state & QStyle::State_Active)
            button.state |= QStyle::State_Active;
        painter->setFont(body);
        if (b == Button::copy) {
            button.text = tr("Copy");
            style->drawControl(QStyle::CE_PushButton, &button, painter, widget);
        } else {
            style->drawControl(QStyle::CE_PushButtonBevel, &button, painter, widget);
            const int icon = std::min(16, button.rect.height() - 8);
            const QRect iconBox(button.rect.center().x() - icon / 2 + 1,
                                button.rect.center().y() - icon / 2 + 1, icon, icon);
            const QPixmap themed = Theme::symbolicIcon(QStringLiteral("user-trash"), icon, pal.color(QPalette::ButtonText),
                                                       painter->device()->devicePixelRatioF());
            if (themed.isNull())
                HistoryIcons::paintTrash(painter, iconBox, pal.color(QPalette::ButtonText));
            else
                painter->drawPixmap(iconBox, themed);
        }
    }
    painter->restore();
}

bool HistoryRowDelegate::editorEvent(QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option,
                                     const QModelIndex &index)
{
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto *me = static_cast<QMouseEvent *>(event);
        setHover(index, buttonAt(option.rect, me->position().toPoint()));
        // While a button is held, the press belongs to it, not to the list.
        return m_pressButton != Button::none;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const auto *me = static_cast<QMouseEvent *>(event);
        const Button b = buttonAt(option.rect, me->position().toPoint());
        if (me->button() != Qt::LeftButton || b == Button::none)
            return false;
        m_pressIndex = index;
        m_pressButton = b;
        setHover(index, b);
        updateRow(index);
        return true;
    }
    case QEvent::MouseButtonRelease: {
        if (m_pressButton == Button::none)
            return false;
        const auto *me = static_cast<QMouseEvent *>(event);
        const Button pressed = m_pressButton;
        const QPersistentModelIndex pressedIndex = m_pressIndex;
        m_pressButton = Button::none;
        m_pressIndex = QPersistentModelIndex();
        updateRow(pressedIndex);
        if (me->button() == Qt::LeftButton && pressedIndex == index
            && buttonAt(option.rect, me->position().toPoint()) == pressed) {
            if (pressed == Button::copy)
                emit copyClicked(index);
            else
                emit deleteClicked(index);
        }
        return true;
    }
    default:
        return QStyledItemDelegate::editorEvent(event, nullptr, option, index);
    }
}

bool HistoryRowDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                   const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const Button b = buttonAt(option.rect, event->pos());
    const auto *model = qobject_cast<const HistoryModel *>(index.model());
    const QString text = b == Button::none && model ? HistoryRowTexts::of(model->result(index.row())).toolTip : toolTip(b);
    if (text.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    QToolTip::showText(event->globalPos(), text, view->viewport(), b == Button::none ? option.rect : buttonRect(option.rect, b));
    return true;
}

bool HistoryRowDelegate::eventFilter(QObject *watched, QEvent *event)
{
    QAbstractItemView *view = liveView();
    if (watched == m_viewport && view) {
        switch (event->type()) {
        case QEvent::Leave:
            setHover({}, Button::none);
            break;
        case QEvent::MouseButtonRelease: {
            // A release away from every row never reaches editorEvent().
            const auto *me = static_cast<QMouseEvent *>(event);
            if (m_pressButton != Button::none && !view->indexAt(me->position().toPoint()).isValid()) {
                updateRow(m_pressIndex);
                m_pressButton = Button::none;
                m_pressIndex = QPersistentModelIndex();
            }
            break;
        }
        case QEvent::MouseMove: {
            const auto *me = static_cast<QMouseEvent *>(event);
            if (!view->indexAt(me->position().toPoint()).isValid())
                setHover({}, Button::none);
            break;
        }
        default:
            break;
        }
    }
    return QStyledItemDelegate::eventFilter(watched, event);
}

void HistoryRowDelegate::setHover(const QModelIndex &index, Button which)
{
    if (index == m_hoverIndex && which == m_hoverButton)
        return;
    updateRow(m_hoverIndex);
    m_hoverIndex = which == Button::none ? QPersistentModelIndex() : QPersistentModelIndex(index);
    m_hoverButton = which;
    updateRow(index);
}

void HistoryRowDelegate::updateRow(const QModelIndex &index) const
{
    QAbstractItemView *view = liveView();
    if (index.isValid() && view)
        m_viewport->update(view->visualRect(index));
}

QAbstractItemView *HistoryRowDelegate::liveView() const
{
    // While the view is torn down, its viewport still sends events after the
    // view's own destructor has run; the cast fails from then on.
    return qobject_cast<QAbstractItemView *>(m_viewObject);
}
