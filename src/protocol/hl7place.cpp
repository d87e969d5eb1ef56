#include "hl7place.h"
#include "hl7text.h"

namespace Hl7Place {
namespace {
using Hl7Text::endsSegment;
using Hl7Text::nth;

qsizetype segmentStart(QByteArrayView message, qsizetype offset)
{
    while (offset > 0 && !endsSegment(message[offset - 1]))
        --offset;
    return offset;
}

qsizetype segmentEnd(QByteArrayView message, qsizetype offset)
{
    while (offset < message.size() && !endsSegment(message[offset]))
        ++offset;
    return offset;
}

bool isMsh(QByteArrayView segment)
{
    return segment.size() >= 4 && segment.startsWith("MSH");
}

// Which part of `text` holds `at`, counting from 1, and that part.
int partAt(QByteArrayView text, char separator, qsizetype at, QByteArrayView *part, qsizetype *begin)
{
    int number = 1;
    qsizetype from = 0;
    for (qsizetype i = 0; i < at; ++i)
        if (text[i] == separator) {
            ++number;
            from = i + 1;
        }
    const qsizetype to = text.indexOf(separator, from);
    *part = text.sliced(from, (to < 0 ? text.size() : to) - from);
    *begin += from;
    return number;
}
} // namespace

Separators separatorsOf(QByteArrayView message)
{
    qsizetype at = 0;
    while (at < message.size()) {
        const qsizetype end = segmentEnd(message, at);
        const QByteArrayView segment = message.sliced(at, end - at);
        if (isMsh(segment))
            return Hl7Text::separatorsOfHeader(segment);
        at = end + 1;
    }
    return {};
}

QString Place::name() const
{
    if (!isValid())
        return {};
    QString text = QString::fromLatin1(segment);
    if (nameCut)
        text += QChar(0x2026);
    if (field == 0)
        return text;
    text += QLatin1Char('-') + QString::number(field);
    if (repetition > 0)
        text += QLatin1Char('(') + QString::number(repetition) + QLatin1Char(')');
    if (component > 0)
        text += QLatin1Char('.') + QString::number(component);
    if (subcomponent > 0)
        text += QLatin1Char('.') + QString::number(subcomponent);
    return text;
}

Place placeAt(QByteArrayView message, qsizetype offset)
{
    Place place;
    if (offset < 0 || offset >= message.size() || endsSegment(message[offset]))
        return place;
    const qsizetype start = segmentStart(message, offset);
    const QByteArrayView segment = message.sliced(start, segmentEnd(message, offset) - start);
    const qsizetype at = offset - start;
    const Separators s = separatorsOf(message);
    const bool msh = isMsh(segment);
    const qsizetype nameEnd = msh ? 3 : segment.indexOf(s.field) < 0 ? segment.size() : segment.indexOf(s.field);
    place.segment = segment.first(qMin(nameEnd, Place::LongestName)).toByteArray();
    place.nameCut = nameEnd > Place::LongestName;
    if (at < nameEnd || (!msh && at == nameEnd)) {
        place.value = segment.first(nameEnd).toByteArray();
        return place;
    }
    if (msh && at == 3) {
        place.field = 1;
        place.value = segment.sliced(3, 1).toByteArray();
        return place;
    }
    // Fields count from the separator after the name; in MSH that separator
    // is itself MSH-1, so its text fields start at 2.
    const QByteArrayView fields = segment.sliced(nameEnd + 1);
    const qsizetype within = at - nameEnd - 1;
    QByteArrayView part;
    qsizetype begin = 0;
    place.field = partAt(fields, s.field, within, &part, &begin) + (msh ? 1 : 0);
    if (msh && place.field == 2) {
        place.value = part.toByteArray();
        return place;
    }
    // A separator belongs to the part it ends.
    const auto split = [&](char separator, int *number) {
        const qsizetype local = within - begin;
        QByteArrayView inner;
        qsizetype innerBegin = begin;
        *number = partAt(part, separator, qMin(local, part.size()), &inner, &innerBegin);
        part = inner;
        begin = innerBegin;
    };
    const bool repeats = part.contains(s.repetition);
    int repetition = 0;
    split(s.repetition, &repetition);
    place.repetition = repeats ? repetition : 0;
    split(s.component, &place.component);
    if (part.contains(s.subcomponent))
        split(s.subcomponent, &place.subcomponent);
    place.value = part.toByteArray();
    return place;
}

QByteArrayView fieldOf(QByteArrayView message, QByteArrayView name, int field)
{
    const Separators s = separatorsOf(message);
    qsizetype at = 0;
    while (at < message.size()) {
        const qsizetype end = segmentEnd(message, at);
        const QByteArrayView segment = message.sliced(at, end - at);
        if (segment.startsWith(name) && segment.size() > name.size() && segment[name.size()] == s.field) {
            const bool msh = isMsh(segment);
            if (msh && field == 1)
                return segment.sliced(3, 1);
            return field < 1 ? QByteArrayView() : nth(segment.sliced(name.size() + 1), s.field, field - (msh ? 2 : 1));
        }
        at = end + 1;
    }
    return {};
}

} // namespace Hl7Place
