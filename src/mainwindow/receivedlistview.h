#pragma once

#include "mainwindow/rowselection.h"

#include <QAbstractScrollArea>
#include <QAccessible>

class QAbstractItemModel;
class QAbstractItemDelegate;
class QHeaderView;

// The list of received messages: one column under a "Data In" header (and
// any optional columns after it), one row per message, all rows of one height.
// While its end is in view it follows the newest row. It paints only the rows in sight
// and keeps nothing per row, so a new row costs the same at the millionth
// message as at the first (a table view's row header would walk every row).
class ReceivedListView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit ReceivedListView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model);
    QAbstractItemModel *model() const { return m_model; }
    void setItemDelegate(QAbstractItemDelegate *delegate);
    QHeaderView *horizontalHeader() const { return m_header; }

    int columnWidth(int column) const;
    void setColumnWidth(int column, int width);
    // "Data In" takes what the other columns leave of `listWidth` (all of it
    // when they are off), at least this many average characters; kept for
    // when they change.
    static constexpr int DataInLeastCharacters = 40;
    void setDataInWidth(int listWidth);
    // Whether a new row scrolls into view: so while the end is in view, not
    // once the operator scrolls up or selects a row, again at End or the
    // scroll bar's bottom.
    bool isFollowingNewest() const { return m_following; }
    int rowHeight() const;

    // The row with the focus, or -1; setting it selects that row alone.
    int currentRow() const { return m_current; }
    void setCurrentRow(int row);
    // Shift and Ctrl extend the selection from the current row; Ctrl+A takes all.
    const RowSelection &selection() const { return m_selection; }
    void selectAll();
    int firstVisibleRow() const;
    void scrollToRow(int row);
    // The row at a height in the viewport, or -1; a row's place in the
    // viewport (empty when it is out of sight).
    int rowAt(int y) const;
    QRect rowRect(int row) const;

signals:
    // A double-click on a row, or Enter on the selected one.
    void activated(int row);
    void currentRowChanged(int row);
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

private:
    int rowCount() const;
    int visibleRows() const;
    void updateScrollBars();
    void placeHeader();
    void fitDataIn();
    void followNewest();
    // Shift+F10 and the Menu key: the context menu at the selected row.
    void openContextMenuFromKeyboard();
    // Moves the current row as a click or key with these modifiers does.
    void moveTo(int row, Qt::KeyboardModifiers modifiers, bool click);
    // A change of the selection (Selection: `focusRow` alone), and the focus
    // to `focusRow` if >= 0.
    void tellReaders(QAccessible::Event change, int focusRow);

    QAbstractItemModel *m_model = nullptr;
    QAbstractItemDelegate *m_delegate = nullptr;
    QHeaderView *m_header = nullptr;
    int m_current = -1;
    bool m_following = true;
    int m_listWidth = -1;
    RowSelection m_selection;
    int m_anchor = -1; // where a Shift range starts
};
