#pragma once

#include <QAbstractItemView>
#include <QString>

class TTraceModel;

// A view of the traffic trace that lays out nothing: every line has the
// height of one text line, so the lines in sight follow from the scroll
// position and only they are rendered. An exchange added to a trace of any
// length therefore costs the view the same. Lines are selected as in a list
// (click, Shift, Ctrl, dragging, Ctrl+A); Ctrl+C copies the selected lines.
// The font must be fixed-pitch: only the characters in sight are drawn.
//
// While the newest line is in sight, new lines scroll into view; once the
// user scrolls up, the lines in sight stay put, also when the oldest lines
// leave the trace.
class TTraceView : public QAbstractItemView {
    Q_OBJECT
public:
    explicit TTraceView(TTraceModel& model, QWidget* parent = nullptr);

    QModelIndex indexAt(const QPoint& point) const override;
    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex&) const override { return false; }
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex& parent, int first, int last) override;
    void reset() override;

    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    TTraceModel& model_;
    int widest_ = 0;       // of the lines painted since the last reset, in pixels
    bool following_ = true; // the newest line is in sight

    int LineHeight() const;
    int CharWidth() const;
    int TopRow() const;
    int VisibleRows() const;
    int RowAt(int y) const;
    void KeepFollowing();
    // The selected lines in order, each ended by a line break.
    QString SelectedText() const;
};
