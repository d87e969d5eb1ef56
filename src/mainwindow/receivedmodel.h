#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTimer>

class MessageStore;

// The list's view of the received-message store: one row per message, one
// column "Data In", the row's text being the whole message. The store is
// never copied. New rows reach the view at most once a frame, so that a
// flood of messages costs the view one insertion per frame, not one per
// message; the store itself is always complete.
class ReceivedModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int FrameMilliseconds = 40;
    // What a row paints: the start of the message, enough for the widest
    // window. Qt::DisplayRole stays the whole message.
    static constexpr int ShownTextRole = Qt::UserRole + 1;
    static constexpr qsizetype ShownBytes = 1024;

    explicit ReceivedModel(const MessageStore &store, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The store has grown: the new rows are shown with the next frame.
    void messagesAdded();
    // Shows every stored message now.
    void catchUp();
    // The store has been emptied.
    void storeCleared();


private:
    const MessageStore &m_store;
    int m_rows = 0;
    QTimer m_frame;
};

// Paints each row from ReceivedModel::ShownTextRole with its control bytes
// (VT, CR, FS and the rest below 32) as small marked abbreviations, so that
// the operator sees where blocks and segments begin and end.
class ReceivedRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // "VT" for byte 11, "CR" for 13, "FS" for 28, "DEL" for 127; empty for
    // every byte that is shown as itself.
    static QString markFor(QChar c);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
