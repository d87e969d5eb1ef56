#pragma once

#include "mainwindow/listcolumns.h"
#include "mainwindow/messagetext.h"

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

class MessageStore;

// The list's view of the received-message store: one row per message, one
// column "Data In", the row's text being the whole message, and after it the
// optional columns chosen (none at first). The store is never copied; a row
// is the store's message at that index.
class ReceivedModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    // What a row paints: the start of the message, enough for the widest
    // window, decoded in its character set (MessageText::shown). Qt::DisplayRole
    // stays the whole message a character per byte, its bytes for whoever reads them.
    static constexpr int ShownTextRole = Qt::UserRole + 1;
    static constexpr qsizetype ShownBytes = 1024;

    explicit ReceivedModel(const MessageStore &store, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The store has grown: its new messages become rows.
    void messagesAdded();
    // The store has been emptied.
    void storeCleared();

    // The optional columns, after "Data In", in the order given.
    void setColumns(const QList<ListColumns::Column> &columns);
    const QList<ListColumns::Column> &columns() const { return m_columns; }
    // The bytes the optional columns read of a message, at most.
    static constexpr qsizetype HeadBytes = 1024;

    // The character set the rows are decoded in ([Text]); a change repaints them.
    void setTextSetting(const Charsets::Setting &setting);
    const Charsets::Setting &textSetting() const { return m_textSetting; }

private:
    QByteArray head(int row) const;
    // The head decoded, read and decoded once for the row's columns.
    const MessageText::Shown &shownHead(int row) const;
    QByteArray sender(int row) const;
    QString columnText(int row, ListColumns::Column column) const;

    const MessageStore &m_store;
    int m_rows = 0;
    QList<ListColumns::Column> m_columns;
    QTimeZone m_zone = QTimeZone::systemTimeZone();
    // A row is painted column by column: its head is read once for all.
    mutable int m_headRow = -1;
    mutable QByteArray m_head;
    mutable int m_shownRow = -1;
    mutable MessageText::Shown m_shown;
    Charsets::Setting m_textSetting;
    // Rows side by side mostly came on one connection: its description is
    // read once for them. Numbers start again when the store is cleared.
    mutable quint32 m_senderId = 0;
    mutable QByteArray m_sender;
};

// Paints each row from ReceivedModel::ShownTextRole with its control bytes
// (VT, CR, FS and the rest below 32) as small marked abbreviations, so that
// the operator sees where blocks and segments begin and end, and each byte
// that did not decode as its value ("0xC3"). The marks are
// MessageText::markAt's, the same as the viewer's.
class ReceivedRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
