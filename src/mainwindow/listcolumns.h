#pragma once

#include "store/messagestore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTimeZone>

// The received list's optional columns beside "Data In", and what each shows
// for a row. The texts come from a row's facts alone, so they are the same
// wherever they are asked for, and cost the same at every row.
namespace ListColumns {

enum class Column { Time, Size, Type, ControlId, Answer, From };
inline constexpr Column All[] = {Column::Time, Column::Size, Column::Type, Column::ControlId,
                                 Column::Answer, Column::From};

// The header's text ("Control ID") and the options file's word ("ControlId").
QString title(Column column);
QString key(Column column);

// What a row's columns are made from: nothing but the start of the message is read.
struct RowFacts
{
    qint64 arrivedMs = 0; // 0: not known
    qint64 size = 0;
    QByteArray head;      // the first bytes of the message
    QString shownHead;    // them as the row shows them; none: decoded as Automatic does
    bool answered = false;
    QByteArray answer;
    MessageInfo::Outcome outcome = MessageInfo::Outcome::Answered;
    QByteArray sender; // the connection's description, UTF-8; empty when none
};

// "Time" hh:mm:ss.zzz in `zone`, "Size" in bytes, "Type" MSH-9, "Control ID"
// MSH-10 (both read in the shown head, a byte that did not decode as
// "<0xC3>"), "Answer" MSA-1 of the answer sent (empty when none; "none" when a
// rule withheld it, "reset" when a rule reset the connection instead, "ACK:
// none" for an acknowledgement left unanswered), "From" the connection it
// came on.
QString text(Column column, const RowFacts &facts, const QTimeZone &zone);

// The options file's "Columns" words (readOptions, writeListColumns), and
// back: known words in the list's order, each once; unknown words are left out.
QList<Column> fromKey(const QString &value);
QString toKey(const QList<Column> &columns);

} // namespace ListColumns
