#include "receivedmodel.h"

#include "interface/messagestore.h"

#include <limits>

ReceivedModel::ReceivedModel(const MessageStore &store, QObject *parent)
    : QAbstractTableModel(parent), m_store(store)
{
    m_frame.setSingleShot(true);
    m_frame.setInterval(FrameMilliseconds);
    connect(&m_frame, &QTimer::timeout, this, &ReceivedModel::catchUp);
}

int ReceivedModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int ReceivedModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant ReceivedModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || index.column() != 0)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(m_store.at(index.row()));
    case ShownTextRole: {
        const QByteArrayView message = m_store.at(index.row());
        return shownText(message.first(qMin(ShownBytes, message.size())));
    }
    default:
        return {};
    }
}

QVariant ReceivedModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole)
        return QStringLiteral("Data In");
    return {};
}

void ReceivedModel::messagesAdded()
{
    if (!m_frame.isActive())
        m_frame.start();
}

void ReceivedModel::catchUp()
{
    m_frame.stop();
    // A view counts rows in an int; beyond that the store still holds every
    // message, the list shows the first two thousand million.
    const qint64 stored = qMin<qint64>(m_store.size(), std::numeric_limits<int>::max());
    if (stored <= m_rows)
        return;
    beginInsertRows(QModelIndex(), m_rows, int(stored - 1));
    m_rows = int(stored);
    endInsertRows();
}

void ReceivedModel::storeCleared()
{
    m_frame.stop();
    beginResetModel();
    m_rows = 0;
    endResetModel();
}

QString ReceivedModel::shownText(QByteArrayView message)
{
    QString text = QString::fromLatin1(message);
    for (QChar &c : text) {
        const ushort code = c.unicode();
        if (code < 0x20)
            c = QChar(0x2400 + code); // the Unicode control pictures
        else if (code == 0x7f)
            c = QChar(0x2421);
    }
    return text;
}

void ReceivedRowDelegate::initStyleOption(QStyleOptionViewItem *option,
                                          const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = index.data(ReceivedModel::ShownTextRole).toString();
}
