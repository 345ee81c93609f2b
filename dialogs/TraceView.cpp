#include "TraceView.h"

#include "TraceModel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace {
constexpr int Margin = 3; // left of the text, in pixels
}

TTraceView::TTraceView(TTraceModel& model, QWidget* parent) : QAbstractItemView(parent), model_(model)
{
    setModel(&model_);
    setSelectionMode(ExtendedSelection);
    setSelectionBehavior(SelectRows);
    setEditTriggers(NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this](int value) { following_ = value >= verticalScrollBar()->maximum(); });
    // The oldest lines left the trace: the lines in sight keep to what they
    // showed, unless the newest line is in sight.
    connect(&model_, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
        const bool following = following_;
        const int top = TopRow() - (last - first + 1);
        updateGeometries();
        if (following)
            verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        else
            verticalScrollBar()->setValue(std::max(top, 0));
    });
}

int TTraceView::LineHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

int TTraceView::CharWidth() const
{
    return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
}

// The vertical bar counts lines: its value is the first line in sight.
int TTraceView::TopRow() const
{
    return verticalScrollBar()->value();
}

int TTraceView::VisibleRows() const
{
    return std::max(1, viewport()->height() / LineHeight());
}

int TTraceView::RowAt(int y) const
{
    return TopRow() + (y < 0 ? -1 : y / LineHeight());
}

QModelIndex TTraceView::indexAt(const QPoint& point) const
{
    const int row = RowAt(point.y());
    return row >= 0 && row < model_.rowCount() ? model_.index(row) : QModelIndex();
}

QRect TTraceView::visualRect(const QModelIndex& index) const
{
    if (!index.isValid())
        return {};
    const int width = std::max(viewport()->width(), widest_ + 2 * Margin);
    return {-horizontalOffset(), (index.row() - TopRow()) * LineHeight(), width, LineHeight()};
}

void TTraceView::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    if (!index.isValid())
        return;
    const int row = index.row();
    const int top = TopRow();
    const int rows = VisibleRows();
    if (hint == PositionAtTop || (hint == EnsureVisible && row < top))
        verticalScrollBar()->setValue(row);
    else if (hint == PositionAtBottom || (hint == EnsureVisible && row >= top + rows))
        verticalScrollBar()->setValue(row - rows + 1);
    else if (hint == PositionAtCenter)
        verticalScrollBar()->setValue(row - rows / 2);
}

QModelIndex TTraceView::moveCursor(CursorAction action, Qt::KeyboardModifiers)
{
    const int count = model_.rowCount();
    if (count == 0)
        return {};
    const int row = currentIndex().isValid() ? currentIndex().row() : TopRow();
    int next = row;
    switch (action) {
    case MoveUp:
    case MovePrevious: next = row - 1; break;
    case MoveDown:
    case MoveNext: next = row + 1; break;
    case MovePageUp: next = row - VisibleRows(); break;
    case MovePageDown: next = row + VisibleRows(); break;
    case MoveHome: next = 0; break;
    case MoveEnd: next = count - 1; break;
    default: break;
    }
    return model_.index(std::clamp(next, 0, count - 1));
}

int TTraceView::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int TTraceView::verticalOffset() const
{
    return TopRow() * LineHeight();
}

void TTraceView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags)
{
    const int count = model_.rowCount();
    if (count == 0)
        return;
    const QRect lines = rect.normalized();
    const int first = std::clamp(RowAt(lines.top()), 0, count - 1);
    const int last = std::clamp(RowAt(lines.bottom()), 0, count - 1);
    selectionModel()->select(QItemSelection(model_.index(first), model_.index(last)), flags);
}

QRegion TTraceView::visualRegionForSelection(const QItemSelection& selection) const
{
    QRegion region;
    const int top = TopRow();
    const int bottom = top + VisibleRows();
    for (const QItemSelectionRange& range : selection) {
        const int first = std::max(range.top(), top);
        const int last = std::min(range.bottom(), bottom);
        if (first <= last)
            region += QRect(0, (first - top) * LineHeight(), viewport()->width(), (last - first + 1) * LineHeight());
    }
    return region;
}

void TTraceView::updateGeometries()
{
    QScrollBar* vertical = verticalScrollBar();
    vertical->setPageStep(VisibleRows());
    vertical->setSingleStep(1);
    vertical->setRange(0, std::max(0, model_.rowCount() - VisibleRows()));
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(CharWidth() * 4);
    horizontal->setRange(0, std::max(0, widest_ + 2 * Margin - viewport()->width()));
}

void TTraceView::KeepFollowing()
{
    if (following_)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TTraceView::scrollContentsBy(int, int)
{
    viewport()->update();
}

// While hidden the scroll bars wait for the window to show.
void TTraceView::rowsInserted(const QModelIndex&, int, int)
{
    if (!isVisible())
        return;
    const bool following = following_;
    updateGeometries();
    following_ = following;
    KeepFollowing();
    viewport()->update();
}

void TTraceView::reset()
{
    QAbstractItemView::reset();
    widest_ = 0;
    following_ = true;
    updateGeometries();
    KeepFollowing();
}

QString TTraceView::SelectedText() const
{
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QString text;
    for (const QModelIndex& index : rows)
        text += model_.Line(index.row()) + '\n';
    return text;
}

void TTraceView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const int height = LineHeight();
    const int ascent = fontMetrics().ascent();
    // Only the characters in sight are drawn.
    const int charWidth = CharWidth();
    const int firstChar = horizontalOffset() / charWidth;
    const int charsInSight = viewport()->width() / charWidth + 2;
    const int x = Margin - horizontalOffset() + firstChar * charWidth;
    const int top = TopRow();
    const int end = std::min(model_.rowCount(), top + viewport()->height() / height + 1);
    const int widestBefore = widest_;
    for (int row = top; row < end; ++row) {
        const int y = (row - top) * height;
        const QModelIndex index = model_.index(row);
        const QString line = model_.Line(row);
        if (selectionModel()->isSelected(index)) {
            painter.fillRect(0, y, viewport()->width(), height, palette().highlight());
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            const QVariant foreground = model_.data(index, Qt::ForegroundRole);
            painter.setPen(foreground.isValid() ? foreground.value<QBrush>().color() : palette().color(QPalette::Text));
        }
        painter.drawText(x, y + ascent, line.mid(firstChar, charsInSight));
        widest_ = std::max(widest_, static_cast<int>(line.size()) * charWidth);
    }
    if (widest_ != widestBefore)
        updateGeometries();
}

void TTraceView::showEvent(QShowEvent* event)
{
    const bool following = following_;
    QAbstractItemView::showEvent(event);
    updateGeometries();
    following_ = following;
    KeepFollowing();
}

void TTraceView::resizeEvent(QResizeEvent* event)
{
    const bool following = following_;
    QAbstractItemView::resizeEvent(event);
    updateGeometries();
    following_ = following;
    KeepFollowing();
}

void TTraceView::keyPressEvent(QKeyEvent* event)
{
    if (!event->matches(QKeySequence::Copy))
        return QAbstractItemView::keyPressEvent(event);
    if (const QString text = SelectedText(); !text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}
