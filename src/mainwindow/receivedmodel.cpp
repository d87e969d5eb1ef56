#include "receivedmodel.h"

#include "store/messagestore.h"
#include "mainwindow/messagetext.h"

#include <QApplication>
#include <QPainter>
#include <QTextLayout>

#include <limits>

ReceivedModel::ReceivedModel(const MessageStore &store, QObject *parent)
    : QAbstractTableModel(parent), m_store(store)
{
}

int ReceivedModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int ReceivedModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1 + int(m_columns.size());
}

QVariant ReceivedModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || index.column() >= columnCount())
        return {};
    if (index.column() > 0) {
        const ListColumns::Column column = m_columns.at(index.column() - 1);
        if (role == Qt::TextAlignmentRole && column == ListColumns::Column::Size)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return role == Qt::DisplayRole ? QVariant(columnText(index.row(), column)) : QVariant();
    }
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(m_store.at(index.row()));
    case ShownTextRole:
        // Only as much as a row can show is read from the store.
        return shownHead(index.row()).text;
    default:
        return {};
    }
}

QVariant ReceivedModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == 0)
        return QStringLiteral("Data In");
    return section <= m_columns.size() ? ListColumns::title(m_columns.at(section - 1)) : QString();
}

void ReceivedModel::setColumns(const QList<ListColumns::Column> &columns)
{
    if (columns == m_columns)
        return;
    if (!m_columns.isEmpty()) {
        beginRemoveColumns(QModelIndex(), 1, int(m_columns.size()));
        m_columns.clear();
        endRemoveColumns();
    }
    if (!columns.isEmpty()) {
        beginInsertColumns(QModelIndex(), 1, int(columns.size()));
        m_columns = columns;
        endInsertColumns();
    }
}

QByteArray ReceivedModel::head(int row) const
{
    static_assert(HeadBytes == ShownBytes, "one read serves the row and its columns");
    if (row != m_headRow) {
        m_head = m_store.at(row, ShownBytes);
        m_headRow = row;
    }
    return m_head;
}

const MessageText::Shown &ReceivedModel::shownHead(int row) const
{
    if (row != m_shownRow) {
        // A message longer than what is read may have a character cut at its end.
        m_shown = MessageText::shown(head(row), m_textSetting, m_store.sizeOf(row) <= ShownBytes);
        m_shownRow = row;
    }
    return m_shown;
}

void ReceivedModel::setTextSetting(const Charsets::Setting &setting)
{
    if (setting == m_textSetting)
        return;
    m_textSetting = setting;
    m_shownRow = -1;
    if (m_rows > 0)
        emit dataChanged(index(0, 0), index(m_rows - 1, columnCount() - 1));
}

QByteArray ReceivedModel::sender(int row) const
{
    const quint32 id = m_store.info(row).sender;
    if (id != m_senderId) {
        m_sender = m_store.sender(id);
        m_senderId = id;
    }
    return m_sender;
}

QString ReceivedModel::columnText(int row, ListColumns::Column column) const
{
    using ListColumns::Column;
    ListColumns::RowFacts facts;
    switch (column) {
    case Column::Time: facts.arrivedMs = m_store.info(row).arrivedMs; break;
    case Column::Size: facts.size = m_store.sizeOf(row); break;
    case Column::Type:
    case Column::ControlId:
        facts.head = head(row);
        facts.shownHead = shownHead(row).text;
        break;
    case Column::Answer:
        facts.answered = m_store.answer(row, &facts.answer, nullptr);
        facts.outcome = m_store.info(row).outcome;
        break;
    case Column::From: facts.sender = sender(row); break;
    }
    return ListColumns::text(column, facts, m_zone);
}

void ReceivedModel::messagesAdded()
{
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
    beginResetModel();
    m_rows = 0;
    m_headRow = -1;
    m_shownRow = -1;
    m_senderId = 0;
    m_sender.clear();
    endResetModel();
}

void ReceivedRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                const QModelIndex &index) const
{
    // An optional column is a short plain text.
    if (index.column() > 0)
        return QStyledItemDelegate::paint(painter, option, index);
    // The background, selection and focus as the style draws them; the text
    // is ours. The whole message is never fetched for a paint.
    QStyleOptionViewItem opt = option;
    opt.index = index;
    opt.text.clear();
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const QString text = index.data(ReceivedModel::ShownTextRole).toString();
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget)
                           .adjusted(2, 0, -2, 0);
    const bool selected = opt.state & QStyle::State_Selected;
    const QColor ink = opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    QFont markFont = opt.font;
    markFont.setPointSizeF(MessageText::markPointSize(opt.font.pointSizeF()));
    const QFontMetrics textMetrics(opt.font);
    const QFontMetrics markMetrics(markFont);
    const int baseline = area.top() + (area.height() + textMetrics.ascent() - textMetrics.descent()) / 2;

    painter->save();
    painter->setClipRect(area);
    int x = area.left();
    qsizetype runStart = 0;
    const int average = qMax(1, textMetrics.averageCharWidth());
    const int right = area.right();
    const auto drawRun = [&](qsizetype end) {
        painter->setFont(opt.font);
        painter->setPen(ink);
        // Shaping text costs by its length: only about what can reach the
        // row's right edge is drawn, a piece at a time until it is reached.
        while (runStart < end && x < right) {
            // No run holds U+009C, at which Qt's string measures would stop:
            // that byte is marked, as every C1 control is.
            qsizetype length = qMin(end - runStart, (right - x) / average + 4);
            // A character of two halves is drawn whole.
            if (runStart + length < end && text.at(runStart + length - 1).isHighSurrogate())
                ++length;
            // Laid out once for both its drawing and its width.
            QTextLayout piece(text.mid(runStart, length), opt.font, painter->device());
            piece.beginLayout();
            QTextLine line = piece.createLine();
            piece.endLayout();
            line.draw(painter, QPointF(x, baseline - line.ascent()));
            x += qRound(line.naturalTextWidth());
            runStart += length;
        }
    };
    for (qsizetype i = 0; i < text.size() && x < right; ++i) {
        const QString mark = MessageText::markAt(text, i);
        if (mark.isEmpty())
            continue;
        drawRun(i);
        runStart = i + 1;
        const QRect box(x + 1, area.top() + 2, markMetrics.horizontalAdvance(mark) + 4,
                        area.height() - 4);
        painter->setPen(Qt::NoPen);
        painter->setBrush(selected ? ink : opt.palette.color(QPalette::Mid));
        painter->drawRoundedRect(box, 2, 2);
        painter->setFont(markFont);
        painter->setPen(selected ? opt.palette.color(QPalette::Highlight)
                                 : opt.palette.color(QPalette::Base));
        painter->drawText(box, Qt::AlignCenter, mark);
        x = box.right() + 2;
    }
    drawRun(text.size());
    painter->restore();
}
