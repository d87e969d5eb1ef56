#include "listcolumns.h"

#include "protocol/hl7place.h"
#include "mainwindow/messagetext.h"

#include <QDateTime>

namespace ListColumns {

namespace {
// Found in the decoded text, so that a multibyte character whose second
// byte reads as a separator (GB 18030, Shift_JIS) cannot split a field.
QString headField(const RowFacts &facts, int field)
{
    const QString head = facts.shownHead.isEmpty() && !facts.head.isEmpty()
                             ? MessageText::shown(facts.head, {}, false).text
                             : facts.shownHead;
    return QString::fromUtf8(Hl7Place::fieldOf(MessageText::placeBytes(head), "MSH", field));
}
} // namespace

QString title(Column column)
{
    switch (column) {
    case Column::Time: return QStringLiteral("Time");
    case Column::Size: return QStringLiteral("Size");
    case Column::Type: return QStringLiteral("Type");
    case Column::ControlId: return QStringLiteral("Control ID");
    case Column::Answer: return QStringLiteral("Answer");
    case Column::From: return QStringLiteral("From");
    }
    return {};
}

QString key(Column column)
{
    return column == Column::ControlId ? QStringLiteral("ControlId") : title(column);
}

QString text(Column column, const RowFacts &facts, const QTimeZone &zone)
{
    switch (column) {
    case Column::Time:
        return facts.arrivedMs == 0 ? QString()
                                    : QDateTime::fromMSecsSinceEpoch(facts.arrivedMs, zone)
                                          .toString(QStringLiteral("hh:mm:ss.zzz"));
    case Column::Size: return QString::number(facts.size);
    case Column::Type: return headField(facts, 9);
    case Column::ControlId: return headField(facts, 10);
    case Column::Answer:
        switch (facts.outcome) {
        case MessageInfo::Outcome::Withheld: return QStringLiteral("none");
        case MessageInfo::Outcome::Reset: return QStringLiteral("reset");
        case MessageInfo::Outcome::AckNotAnswered: return QStringLiteral("ACK: none");
        case MessageInfo::Outcome::Answered:
        case MessageInfo::Outcome::AnsweredThenClosed: break;
        }
        return facts.answered ? QString::fromLatin1(Hl7Place::fieldOf(facts.answer, "MSA", 1)) : QString();
    case Column::From: return QString::fromUtf8(facts.sender);
    }
    return {};
}

QList<Column> fromKey(const QString &value)
{
    QStringList words = value.split(QLatin1Char(','));
    for (QString &word : words)
        word = word.trimmed();
    QList<Column> columns;
    for (const Column column : All)
        if (words.contains(key(column), Qt::CaseInsensitive))
            columns << column;
    return columns;
}

QString toKey(const QList<Column> &columns)
{
    QStringList words;
    for (const Column column : All)
        if (columns.contains(column))
            words << key(column);
    return words.join(QLatin1Char(','));
}

} // namespace ListColumns
