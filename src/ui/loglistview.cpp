#include "loglistview.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

namespace {
constexpr int kRowPadding = 2;
// The room a line takes beside its text: the delegate's margins.
constexpr int kTextMargin = 8;
} // namespace

LogListView::LogListView(QWidget* parent)
    : QAbstractItemView(parent)
{
    setVerticalScrollMode(ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setSelectionMode(SingleSelection);
    setSelectionBehavior(SelectRows);
    setEditTriggers(NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
}

int LogListView::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int LogListView::rowWidth() const
{
    return qMax(viewport()->width(), m_contentWidth);
}

int LogListView::rowHeight() const
{
    return fontMetrics().height() + 2 * kRowPadding;
}

int LogListView::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int LogListView::visibleRowCount() const
{
    return qMax(1, viewport()->height() / rowHeight());
}

int LogListView::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

int LogListView::verticalOffset() const
{
    return firstVisibleRow() * rowHeight();
}

QRect LogListView::visualRect(const QModelIndex& index) const
{
    if (!index.isValid() || index.parent() != rootIndex())
        return {};
    return QRect(-horizontalOffset(), (index.row() - firstVisibleRow()) * rowHeight(), rowWidth(),
                 rowHeight());
}

QModelIndex LogListView::indexAt(const QPoint& point) const
{
    if (!model() || point.y() < 0)
        return {};
    const int row = firstVisibleRow() + point.y() / rowHeight();
    return row < rowCount() ? model()->index(row, 0, rootIndex()) : QModelIndex();
}

void LogListView::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    if (!index.isValid())
        return;
    const int row = index.row();
    const int visible = visibleRowCount();
    QScrollBar* bar = verticalScrollBar();
    switch (hint) {
    case PositionAtTop:
        bar->setValue(row);
        break;
    case PositionAtBottom:
        bar->setValue(row - visible + 1);
        break;
    case PositionAtCenter:
        bar->setValue(row - visible / 2);
        break;
    case EnsureVisible:
        if (row < bar->value())
            bar->setValue(row);
        else if (row >= bar->value() + visible)
            bar->setValue(row - visible + 1);
        break;
    }
}

QModelIndex LogListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers)
{
    const int rows = rowCount();
    if (rows == 0)
        return {};
    const int current = currentIndex().isValid() ? currentIndex().row() : -1;
    int row = current;
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        row = current - 1;
        break;
    case MoveDown:
    case MoveNext:
        row = current + 1;
        break;
    case MovePageUp:
        row = current - visibleRowCount();
        break;
    case MovePageDown:
        row = current + visibleRowCount();
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    default:
        break;
    }
    return model()->index(qBound(0, row, rows - 1), 0, rootIndex());
}

void LogListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command)
{
    const QRect r = rect.normalized();
    const int rows = rowCount();
    if (rows == 0)
        return;
    const int first = qBound(0, firstVisibleRow() + r.top() / rowHeight(), rows - 1);
    const int last = qBound(0, firstVisibleRow() + r.bottom() / rowHeight(), rows - 1);
    const QItemSelection selection(model()->index(first, 0, rootIndex()),
                                   model()->index(last, 0, rootIndex()));
    selectionModel()->select(selection, command);
}

QRegion LogListView::visualRegionForSelection(const QItemSelection& selection) const
{
    QRegion region;
    const QRect area = viewport()->rect();
    for (const QItemSelectionRange& range : selection) {
        const QRect top = visualRect(model()->index(range.top(), 0, rootIndex()));
        const QRect bottom = visualRect(model()->index(range.bottom(), 0, rootIndex()));
        region += QRect(top.topLeft(), bottom.bottomRight()).intersected(area);
    }
    return region;
}

void LogListView::updateGeometries()
{
    QScrollBar* bar = verticalScrollBar();
    const int visible = visibleRowCount();
    bar->setRange(0, qMax(0, rowCount() - visible));
    bar->setPageStep(visible);
    bar->setSingleStep(1);
    QScrollBar* across = horizontalScrollBar();
    across->setRange(0, qMax(0, rowWidth() - viewport()->width()));
    across->setPageStep(viewport()->width());
    across->setSingleStep(fontMetrics().averageCharWidth() * 4);
    QAbstractItemView::updateGeometries();
}

void LogListView::reset()
{
    QAbstractItemView::reset();
    // A cleared log must not leave the scroll bar pointing past its end until the next layout.
    updateGeometries();
    viewport()->update();
}

void LogListView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void LogListView::rowsInserted(const QModelIndex& parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    QScrollBar* bar = verticalScrollBar();
    const int value = bar->value();
    updateGeometries();
    // Scrolled away from the newest lines: keep showing the same lines.
    if (value > 0 && start <= value)
        bar->setValue(value + (end - start + 1));
    viewport()->update();
}

void LogListView::paintEvent(QPaintEvent* event)
{
    if (!model())
        return;
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int height = rowHeight();
    const int rows = rowCount();
    const int first = firstVisibleRow() + event->rect().top() / height;
    const int last = qMin(rows - 1, firstVisibleRow() + event->rect().bottom() / height);
    const QModelIndex current = currentIndex();
    // The widest of the lines shown, measured only as they are painted: a million lines are never
    // measured all at once.
    int widest = 0;
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        widest = qMax(widest, fontMetrics().horizontalAdvance(index.data().toString()) + kTextMargin);
    }
    if (widest > m_contentWidth) {
        m_contentWidth = widest;
        updateGeometries();
    }
    const int left = -horizontalOffset();
    const int width = rowWidth();
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = QRect(left, (row - firstVisibleRow()) * height, width, height);
        option.state = QStyle::State_Enabled;
        if (selectionModel() && selectionModel()->isSelected(index))
            option.state |= QStyle::State_Selected;
        if (index == current && hasFocus())
            option.state |= QStyle::State_HasFocus;
        if (isActiveWindow())
            option.state |= QStyle::State_Active;
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}
