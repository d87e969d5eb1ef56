#pragma once

#include "ackfields.h"
#include "hl7text.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <QVarLengthArray>

#include <optional>

// A value of a message named as HL7 names it ("MSH-9.1", "OBX-5(2).1",
// "PID-3.4.2"), read in place: nothing of the message is copied, and only the
// segments up to the first one of the name asked for are looked at.
namespace Hl7Fields {

using Separators = AckFields::Encoding;

// Field, repetition, component and subcomponent numbers: 1 to 999.
inline constexpr int HighestNumber = 999;

struct Reference
{
    QByteArray segment; // three capitals or digits, a capital first
    int field = 0;
    int repetition = 0;   // 0: not named
    int component = 0;    // 0: not named
    int subcomponent = 0; // 0: not named

    // "PID-3", "PID-3.1", "OBX-5(2).1", "PID-3.4.2"; nothing when `text` is
    // not one of those.
    static std::optional<Reference> parse(QStringView text);
    QString name() const;
    bool operator==(const Reference &) const = default;
};

// MSH, FHS and BHS start with their own separators: their field 1 is the
// field separator and field 2 the encoding characters.
bool isHeaderName(QByteArrayView name);

// The values of one message. The message must outlive the reader; what it
// finds (the separators, the segments asked for) is kept for the next value.
class Reader
{
public:
    explicit Reader(QByteArrayView message) : m_message(message) {}

    // The value named; empty when the message lacks it. Without a
    // repetition the field is read whole, or its first repetition when a
    // component is named. A header's fields 1 and 2 are never split.
    // The bytes are as they stand: escapes are not undone.
    QByteArrayView value(const Reference &reference);

    // The separators of the first MSH, FHS or BHS, the usual ones for any
    // character it does not declare (and without any header at all).
    const Separators &separators();

private:
    // A segment found, with its fields cut out as far as they were asked for.
    struct Found
    {
        Found() {} // the fields' room is left as it is, not cleared for each segment
        quint32 key;
        QByteArrayView segment; // null: none so named
        bool header = false;
        Separators separators;
        QVarLengthArray<QByteArrayView, 20> fields; // index n - 1 holds field n
        qsizetype next = 0; // where the field after the last one cut starts; -1 at the end
    };
    // The first segment so named, or one with a null segment.
    Found &segment(QByteArrayView name);
    // The first segment so named, or a null view; the walk over the segments
    // goes on from where the last one stopped.
    QByteArrayView firstNamed(QByteArrayView name);
    // The segment at or after `at`, and where the walk goes on; a null view at the end.
    QByteArrayView nextSegment(qsizetype &at);
    // Field n of the segment; empty past its end.
    static QByteArrayView fieldOf(Found &found, int n);

    struct First
    {
        quint32 key;
        QByteArrayView segment;
    };

    QByteArrayView m_message;
    Hl7Text::SegmentEnds m_ends{m_message};
    QVarLengthArray<First, 16> m_firsts; // the first segment of each name walked past
    qsizetype m_walked = 0;
    Separators m_separators;
    bool m_haveSeparators = false;
    QVarLengthArray<Found, 4> m_found;
};

} // namespace Hl7Fields
