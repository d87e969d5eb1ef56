#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class ReceivedListView;

// The received-message list as assistive technology sees it: a list whose
// children are its rows, with the table interface that tells the row count
// and the selected rows. Row interfaces are made when asked for and read the
// model live, so an arriving message costs nothing here.
class ReceivedListAccessible : public QAccessibleWidget, public QAccessibleTableInterface
{
public:
    explicit ReceivedListAccessible(ReceivedListView *view);
    ~ReceivedListAccessible() override;

    // Registers the factory for ReceivedListView; once per process.
    static void install();

    QAccessible::Role role() const override { return QAccessible::List; }
    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessibleInterface *focusChild() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override;
    int selectedCellCount() const override { return selectedRowCount(); }
    QList<QAccessibleInterface *> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override { return 1; }
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *) override {}

private:
    ReceivedListView *view() const;

    // Made on demand, owned by Qt's registry until this interface goes.
    mutable QHash<int, QAccessible::Id> m_rows;
};

// One row: a list item named by the message's start as it is copied, with
// the columns shown beside it.
class ReceivedRowAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface
{
public:
    ReceivedRowAccessible(ReceivedListView *view, int row);

    bool isValid() const override;
    QObject *object() const override { return nullptr; }
    QWindow *window() const override;
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override;
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    bool isSelected() const override;
    QList<QAccessibleInterface *> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

private:
    QPointer<ReceivedListView> m_view;
    int m_row;
};
