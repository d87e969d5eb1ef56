#include "receivedlistaccessible.h"

#include "mainwindow/messagetext.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"

#include <QAbstractItemModel>
#include <QHeaderView>

#include <algorithm>
#include <limits>

namespace {
QAccessibleInterface *createFor(const QString &className, QObject *object)
{
    if (className == QLatin1String("ReceivedListView") && object && object->isWidgetType())
        return new ReceivedListAccessible(static_cast<ReceivedListView *>(object));
    return nullptr;
}
} // namespace

ReceivedListAccessible::ReceivedListAccessible(ReceivedListView *view)
    : QAccessibleWidget(view, QAccessible::List)
{
}

ReceivedListAccessible::~ReceivedListAccessible()
{
    for (const QAccessible::Id id : std::as_const(m_rows))
        QAccessible::deleteAccessibleInterface(id);
}

void ReceivedListAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(createFor);
        return true;
    }();
    Q_UNUSED(installed);
}

ReceivedListView *ReceivedListAccessible::view() const
{
    return static_cast<ReceivedListView *>(widget());
}

int ReceivedListAccessible::rowCount() const
{
    const QAbstractItemModel *model = view()->model();
    return model ? model->rowCount() : 0;
}

int ReceivedListAccessible::childCount() const
{
    return rowCount();
}

QAccessibleInterface *ReceivedListAccessible::child(int index) const
{
    if (index < 0 || index >= rowCount())
        return nullptr;
    if (const auto found = m_rows.constFind(index); found != m_rows.cend())
        return QAccessible::accessibleInterface(*found);
    auto *row = new ReceivedRowAccessible(view(), index);
    m_rows.insert(index, QAccessible::registerAccessibleInterface(row));
    return row;
}

int ReceivedListAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    const auto *row = dynamic_cast<const ReceivedRowAccessible *>(child);
    return row && row->parent() == this ? row->rowIndex() : -1;
}

QAccessibleInterface *ReceivedListAccessible::childAt(int x, int y) const
{
    const QPoint inViewport = view()->viewport()->mapFromGlobal(QPoint(x, y));
    if (!view()->viewport()->rect().contains(inViewport))
        return nullptr;
    return child(view()->rowAt(inViewport.y()));
}

QAccessibleInterface *ReceivedListAccessible::focusChild() const
{
    return view()->hasFocus() ? child(view()->currentRow()) : nullptr;
}

void *ReceivedListAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessibleInterface *ReceivedListAccessible::cellAt(int row, int column) const
{
    return column == 0 ? child(row) : nullptr;
}

QList<QAccessibleInterface *> ReceivedListAccessible::selectedCells() const
{
    // Those in view: a selection may hold a million rows, and each cell
    // given is an interface made and kept.
    QList<QAccessibleInterface *> cells;
    const int first = view()->firstVisibleRow();
    for (int row = first; first >= 0 && row < rowCount() && !view()->rowRect(row).isEmpty(); ++row) {
        if (isRowSelected(row))
            cells << child(row);
    }
    return cells;
}

QString ReceivedListAccessible::columnDescription(int column) const
{
    const QAbstractItemModel *model = view()->model();
    return model && column == 0 ? model->headerData(0, Qt::Horizontal).toString() : QString();
}

int ReceivedListAccessible::selectedRowCount() const
{
    return int(std::min<qint64>(view()->selection().count(), std::numeric_limits<int>::max()));
}

QList<int> ReceivedListAccessible::selectedRows() const
{
    QList<int> rows;
    rows.reserve(selectedRowCount());
    for (const auto &[first, last] : view()->selection().ranges()) {
        for (int row = first; row <= last; ++row)
            rows << row;
    }
    return rows;
}

bool ReceivedListAccessible::isRowSelected(int row) const
{
    return view()->selection().contains(row);
}

bool ReceivedListAccessible::selectRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    view()->setCurrentRow(row);
    return true;
}

bool ReceivedListAccessible::unselectRow(int row)
{
    if (!isRowSelected(row))
        return false;
    view()->setCurrentRow(-1);
    return true;
}

ReceivedRowAccessible::ReceivedRowAccessible(ReceivedListView *view, int row)
    : m_view(view), m_row(row)
{
}

bool ReceivedRowAccessible::isValid() const
{
    return m_view && m_view->model() && m_row < m_view->model()->rowCount();
}

QWindow *ReceivedRowAccessible::window() const
{
    return m_view ? m_view->window()->windowHandle() : nullptr;
}

QAccessibleInterface *ReceivedRowAccessible::parent() const
{
    return m_view ? QAccessible::queryAccessibleInterface(m_view.data()) : nullptr;
}

QString ReceivedRowAccessible::text(QAccessible::Text t) const
{
    if (t != QAccessible::Name || !isValid())
        return {};
    // What the row shows, not the whole message: a reader asks often. The
    // columns beside "Data In" come in the header's order, each with its title.
    const QAbstractItemModel *model = m_view->model();
    const QHeaderView *header = m_view->horizontalHeader();
    QStringList parts;
    for (int visual = 0; visual < model->columnCount(); ++visual) {
        const int logical = header->logicalIndex(visual);
        const int column = logical < 0 ? visual : logical;
        if (column == 0)
            parts << MessageText::copyText(model->index(m_row, 0).data(ReceivedModel::ShownTextRole).toString());
        else
            parts << model->headerData(column, Qt::Horizontal).toString() + QLatin1Char(' ')
                         + model->index(m_row, column).data().toString();
    }
    return parts.join(QStringLiteral(", "));
}

QRect ReceivedRowAccessible::rect() const
{
    if (!isValid())
        return {};
    const QRect inViewport = m_view->rowRect(m_row);
    if (inViewport.isEmpty())
        return {};
    return QRect(m_view->viewport()->mapToGlobal(inViewport.topLeft()), inViewport.size());
}

QAccessible::State ReceivedRowAccessible::state() const
{
    QAccessible::State state;
    if (!isValid()) {
        state.invalid = true;
        return state;
    }
    state.selectable = true;
    state.focusable = true;
    state.selected = isSelected();
    state.focused = m_row == m_view->currentRow() && m_view->hasFocus();
    state.offscreen = m_view->rowRect(m_row).isEmpty();
    return state;
}

void *ReceivedRowAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableCellInterface)
        return static_cast<QAccessibleTableCellInterface *>(this);
    return nullptr;
}

bool ReceivedRowAccessible::isSelected() const
{
    return isValid() && m_view->selection().contains(m_row);
}
