#include "receivedlistview.h"

#include "mainwindow/receivedlistaccessible.h"
#include "mainwindow/receivedmodel.h"
#include "mainwindow/steadyscrollbar.h"

#include <QAbstractItemModel>
#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QToolTip>

ReceivedListView::ReceivedListView(QWidget *parent)
    : QAbstractScrollArea(parent), m_header(new QHeaderView(Qt::Horizontal, this))
{
    m_header->setSectionResizeMode(QHeaderView::Interactive);
    m_header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_header->setStretchLastSection(false);
    m_delegate = new QStyledItemDelegate(this);
    ReceivedListAccessible::install();
    setVerticalScrollBar(new SteadyScrollBar(Qt::Vertical, this));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    // Opaque, so that a scroll bar moving does not paint the frame around
    // the list (whose style looks up its pixmaps on every paint) again.
    setAutoFillBackground(true);
    connect(m_header, &QHeaderView::sectionResized, this, [this](int logical) {
        // An optional column dragged wider takes its room from "Data In".
        if (logical > 0)
            fitDataIn();
        updateScrollBars();
        viewport()->update();
    });
    connect(m_header, &QHeaderView::sectionCountChanged, this, [this] {
        fitDataIn();
        updateScrollBars();
        viewport()->update();
    });
    // Only the operator's own scrolling triggers actions: at the bottom the
    // list follows the newest row, anywhere else it stays put.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this] {
        m_following = verticalScrollBar()->sliderPosition() >= verticalScrollBar()->maximum();
    });
}

void ReceivedListView::setModel(QAbstractItemModel *model)
{
    if (m_model)
        m_model->disconnect(this);
    m_model = model;
    m_header->setModel(model);
    m_current = -1;
    if (model) {
        // A model that goes before the list leaves it empty, not dangling.
        connect(model, &QObject::destroyed, this, [this] {
            m_model = nullptr;
            m_current = -1;
        });
        // A new row moves the scroll range, and only the new rows in sight
        // are painted, with the window's next frame: following moves the
        // rows already painted by a copy (scrollContentsBy).
        connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first) {
            updateScrollBars();
            followNewest();
            const int place = qMax(0, first - firstVisibleRow()) * rowHeight();
            if (place < viewport()->height())
                viewport()->update(0, place, viewport()->width(), viewport()->height() - place);
        });
        // Rows shown another way (another character set): painted again.
        connect(model, &QAbstractItemModel::dataChanged, this, [this] { viewport()->update(); });
        connect(model, &QAbstractItemModel::modelReset, this, [this] {
            const bool hadRow = m_current >= 0;
            m_current = -1;
            m_following = true;
            m_selection.clear();
            updateScrollBars();
            viewport()->update();
            if (hadRow)
                emit currentRowChanged(-1);
        });
    }
    placeHeader();
    updateScrollBars();
}

void ReceivedListView::setItemDelegate(QAbstractItemDelegate *delegate)
{
    m_delegate = delegate;
    viewport()->update();
}

int ReceivedListView::columnWidth(int column) const
{
    return m_header->sectionSize(column);
}

void ReceivedListView::setColumnWidth(int column, int width)
{
    m_header->resizeSection(column, width);
}

void ReceivedListView::setDataInWidth(int listWidth)
{
    m_listWidth = listWidth;
    fitDataIn();
}

void ReceivedListView::fitDataIn()
{
    if (m_listWidth < 0 || m_header->count() == 0)
        return;
    int others = 0;
    for (int column = 1; column < m_header->count(); ++column)
        others += m_header->sectionSize(column);
    // Alone it is exactly as wide as the list, as designed; beside others it
    // takes what they leave in sight, yet always shows a good stretch of the
    // message: where that leaves too little, the list scrolls sideways to the
    // columns beyond it.
    if (others == 0)
        return m_header->resizeSection(0, m_listWidth);
    const int inSight = m_listWidth - (width() - viewport()->width());
    m_header->resizeSection(0, qMax(fontMetrics().averageCharWidth() * DataInLeastCharacters, inSight - others));
}

void ReceivedListView::followNewest()
{
    // A new row moves only the scroll position; it is painted with the
    // window's next paced frame, however many came meanwhile.
    if (m_following)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

int ReceivedListView::rowHeight() const
{
    return fontMetrics().height() + 4;
}

int ReceivedListView::rowCount() const
{
    return m_model ? m_model->rowCount() : 0;
}

int ReceivedListView::visibleRows() const
{
    return qMax(1, viewport()->height() / rowHeight());
}

int ReceivedListView::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

int ReceivedListView::rowAt(int y) const
{
    const int row = firstVisibleRow() + y / rowHeight();
    return y >= 0 && row < rowCount() ? row : -1;
}

QRect ReceivedListView::rowRect(int row) const
{
    const int place = row - firstVisibleRow();
    if (row < 0 || row >= rowCount() || place < 0 || place > visibleRows())
        return {};
    const QRect rect(-horizontalScrollBar()->value(), place * rowHeight(), m_header->length(), rowHeight());
    return rect.intersected(viewport()->rect());
}

void ReceivedListView::updateScrollBars()
{
    // The vertical bar counts rows, so its range never needs more than an int.
    QScrollBar *rows = verticalScrollBar();
    const int last = qMax(0, rowCount() - visibleRows());
    {
        // A list that needed the bar and grows needs it still: the area would
        // lay itself out as before, painting both bars and its frame again.
        const QSignalBlocker sameLayout(last >= rows->maximum() && rows->maximum() > 0 ? rows : nullptr);
        rows->setRange(0, last);
    }
    rows->setPageStep(visibleRows());
    rows->setSingleStep(1);
    const int width = m_model && m_model->columnCount() > 0 ? m_header->length() : 0;
    horizontalScrollBar()->setRange(0, qMax(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(20);
}

void ReceivedListView::placeHeader()
{
    const int height = m_header->sizeHint().height();
    setViewportMargins(0, height, 0, 0);
    const QRect area = viewport()->geometry();
    m_header->setGeometry(area.left(), area.top() - height, area.width(), height);
}

void ReceivedListView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    placeHeader();
    fitDataIn();
    updateScrollBars();
    followNewest();
}

void ReceivedListView::scrollContentsBy(int dx, int dy)
{
    m_header->setOffset(horizontalScrollBar()->value());
    // What stays in sight is moved, not painted again; the vertical bar counts rows.
    viewport()->scroll(dx, dy * rowHeight());
}

void ReceivedListView::paintEvent(QPaintEvent *event)
{
    if (!m_model || m_model->columnCount() == 0)
        return;
    QPainter painter(viewport());
    const int height = rowHeight();
    const int columns = m_model->columnCount();
    const int left = -horizontalScrollBar()->value();
    const int top = firstVisibleRow();
    // Only the rows the paint asks for.
    const QRect asked = event->rect();
    const int first = top + qMax(0, asked.top()) / height;
    const int last = qMin(rowCount() - 1, top + qMax(0, asked.bottom()) / height);
    QStyleOptionViewItem option;
    option.initFrom(this);
    option.widget = this;
    option.font = font();
    option.showDecorationSelected = true;
    option.features = QStyleOptionViewItem::HasDisplay;
    for (int row = first; row <= last; ++row) {
        option.state = QStyle::State_Enabled;
        if (isEnabled() && m_selection.contains(row))
            option.state |= QStyle::State_Selected;
        if (isEnabled() && row == m_current) {
            if (hasFocus())
                option.state |= QStyle::State_HasFocus | QStyle::State_Active;
        }
        for (int column = 0; column < columns; ++column) {
            option.rect = QRect(left + m_header->sectionPosition(column), (row - top) * height,
                                m_header->sectionSize(column), height);
            m_delegate->paint(&painter, option, m_model->index(row, column));
        }
    }
}

void ReceivedListView::setCurrentRow(int row)
{
    const int previous = m_current;
    m_current = row >= 0 && row < rowCount() ? row : -1;
    m_anchor = m_current;
    // A row chosen is where the operator reads: new rows no longer move it.
    if (m_current >= 0)
        m_following = false;
    if (m_current >= 0) {
        m_selection.select(m_current, m_current);
        scrollToRow(m_current);
    } else {
        m_selection.clear();
    }
    viewport()->update();
    emit selectionChanged();
    if (m_current == previous)
        return;
    emit currentRowChanged(m_current);
    if (m_current >= 0)
        tellReaders(QAccessible::Selection, m_current);
}

void ReceivedListView::selectAll()
{
    if (rowCount() == 0)
        return;
    m_selection.select(0, rowCount() - 1);
    viewport()->update();
    emit selectionChanged();
    tellReaders(QAccessible::SelectionWithin, -1);
}

void ReceivedListView::tellReaders(QAccessible::Event change, int focusRow)
{
    if (!QAccessible::isActive())
        return;
    // One row alone is named; after many rows in or out at once, a reader
    // asks the list which rows are selected.
    QAccessibleEvent selection(this, change);
    if (change == QAccessible::Selection)
        selection.setChild(focusRow);
    QAccessible::updateAccessibility(&selection);
    if (focusRow >= 0 && hasFocus()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        focus.setChild(focusRow);
        QAccessible::updateAccessibility(&focus);
    }
}

void ReceivedListView::moveTo(int row, Qt::KeyboardModifiers modifiers, bool click)
{
    if (!(modifiers & (Qt::ShiftModifier | Qt::ControlModifier)) || m_current < 0)
        return setCurrentRow(row);
    const int previous = m_current;
    if (modifiers & Qt::ShiftModifier)
        m_selection.select(m_anchor, row);
    else if (click) {
        m_selection.toggle(row);
        m_anchor = row;
    }
    m_current = row;
    scrollToRow(row);
    viewport()->update();
    emit selectionChanged();
    tellReaders(QAccessible::SelectionWithin, previous != m_current ? m_current : -1);
    if (previous != m_current)
        emit currentRowChanged(m_current);
}

void ReceivedListView::scrollToRow(int row)
{
    const int first = firstVisibleRow();
    if (row < first)
        verticalScrollBar()->setValue(row);
    else if (row >= first + visibleRows())
        verticalScrollBar()->setValue(row - visibleRows() + 1);
}

void ReceivedListView::mousePressEvent(QMouseEvent *event)
{
    const int row = rowAt(event->position().toPoint().y());
    // A right-click on a selected row keeps the selection for its menu.
    if (row >= 0 && !(event->button() == Qt::RightButton && m_selection.contains(row)))
        moveTo(row, event->modifiers(), true);
    QAbstractScrollArea::mousePressEvent(event);
}

void ReceivedListView::mouseDoubleClickEvent(QMouseEvent *event)
{
    const int row = event->button() == Qt::LeftButton ? rowAt(event->position().toPoint().y()) : -1;
    if (row < 0)
        return QAbstractScrollArea::mouseDoubleClickEvent(event);
    setCurrentRow(row);
    emit activated(row);
}

void ReceivedListView::openContextMenuFromKeyboard()
{
    const QRect row = rowRect(m_current);
    const QPoint at = viewport()->mapTo(this, row.isEmpty() ? viewport()->rect().center() : row.center());
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, mapToGlobal(at));
    QCoreApplication::sendEvent(this, &menu);
}

QVariant ReceivedListView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    // Where a keyboard-opened menu appears (the Menu key, on some platforms).
    const QRect row = rowRect(m_current);
    if (query == Qt::ImCursorRectangle && !row.isEmpty())
        return QRect(viewport()->mapTo(this, row.center()), QSize(1, 1));
    return QAbstractScrollArea::inputMethodQuery(query);
}

void ReceivedListView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Menu
        || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        openContextMenuFromKeyboard();
        return;
    }
    const int rows = rowCount();
    if (rows == 0)
        return QAbstractScrollArea::keyPressEvent(event);
    const int current = qMax(0, m_current);
    if (event->matches(QKeySequence::SelectAll))
        return selectAll();
    const Qt::KeyboardModifiers mods = event->modifiers();
    switch (event->key()) {
    case Qt::Key_Up: moveTo(qMax(0, current - 1), mods, false); break;
    case Qt::Key_Down: moveTo(qMin(rows - 1, m_current + 1), mods, false); break;
    case Qt::Key_PageUp: moveTo(qMax(0, current - visibleRows()), mods, false); break;
    case Qt::Key_PageDown: moveTo(qMax(0, qMin(rows - 1, current + visibleRows())), mods, false); break;
    case Qt::Key_Home: moveTo(0, mods, false); break;
    case Qt::Key_End:
        moveTo(rows - 1, mods, false);
        m_following = true;
        break;
    case Qt::Key_Space:
        if (!(mods & Qt::ControlModifier) || m_current < 0)
            return QAbstractScrollArea::keyPressEvent(event);
        moveTo(m_current, mods, true); // Ctrl+Space: the current row in or out
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_current < 0)
            return QAbstractScrollArea::keyPressEvent(event);
        emit activated(m_current);
        break;
    default: return QAbstractScrollArea::keyPressEvent(event);
    }
}

bool ReceivedListView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && m_model) {
        // The start of the message under the pointer, as plain text.
        auto *help = static_cast<QHelpEvent *>(event);
        const int row = rowAt(help->pos().y());
        if (row >= 0) {
            QString text = MessageText::escapesMarked(
                m_model->index(row, 0).data(ReceivedModel::ShownTextRole).toString().left(300));
            text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
            QToolTip::showText(help->globalPos(), text.toHtmlEscaped().prepend(QStringLiteral("<pre>")), this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}
