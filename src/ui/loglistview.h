#pragma once

#include <QAbstractItemView>

// A one-column list for very long logs. Every row has the same height, so layout, scrolling and
// hit-testing are arithmetic on the row number, and painting touches only the visible rows:
// the cost of an insertion does not grow with the log (QListView re-lays out every row on each
// insertion, which takes tens of milliseconds at a million rows).
//
// Scrolls by whole rows. At the top it follows the newest line; scrolled down, it keeps the
// lines in view where they are while new lines arrive above them. Lines are never cut: a line
// wider than the view (a fleet's, a fault's) scrolls sideways, as wide as the widest line shown
// so far.
class LogListView : public QAbstractItemView {
    Q_OBJECT

public:
    explicit LogListView(QWidget* parent = nullptr);

    int rowHeight() const;
    int firstVisibleRow() const;

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    void reset() override;

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex&) const override { return false; }
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

protected slots:
    void rowsInserted(const QModelIndex& parent, int start, int end) override;

private:
    int rowCount() const;
    int visibleRowCount() const;
    // How wide the rows are painted: the view's width, or the widest line met, if wider.
    int rowWidth() const;
    int m_contentWidth = 0;
};
