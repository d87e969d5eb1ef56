#include "headless/messagelines.h"

#include "protocol/hl7place.h"
#include "store/messagestore.h"

namespace {
// MSH-10 stands near the start: the rest of a long message is never read.
constexpr qsizetype HeadBytes = 4096;

QByteArray word(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return QByteArrayLiteral("-");
    QByteArray shown = bytes.toByteArray();
    for (char &c : shown)
        if (quint8(c) <= 0x20 || c == 0x7f)
            c = '?';
    return shown;
}

bool withoutAnswer(const MessageInfo &info)
{
    using Outcome = MessageInfo::Outcome;
    return info.outcome == Outcome::Withheld || info.outcome == Outcome::Reset
           || info.outcome == Outcome::AckNotAnswered || info.kind == MessageInfo::Kind::Outside
           || info.kind == MessageInfo::Kind::Incomplete;
}
} // namespace

QByteArray messageLine(const MessageStore &store, qint64 index)
{
    const MessageInfo info = store.info(index);
    const QByteArray head = store.at(index, HeadBytes);
    QByteArray line = QByteArray::number(index + 1) + ' ' + word(Hl7Place::fieldOf(head, "MSH", 10)) + ' ';
    line += info.ruleLine == 0 ? QByteArrayLiteral("-") : "rule " + QByteArray::number(info.ruleLine);
    line += ' ';
    QByteArray answer;
    if (info.outcome == MessageInfo::Outcome::Reset)
        line += "reset";
    else if (withoutAnswer(info) || !store.answer(index, &answer, nullptr))
        line += "none";
    else
        line += word(Hl7Place::fieldOf(answer, "MSA", 1));
    return line + '\n';
}

bool messageSettled(const MessageStore &store, qint64 index, bool waiting)
{
    return !waiting || withoutAnswer(store.info(index)) || store.answer(index, nullptr, nullptr);
}
