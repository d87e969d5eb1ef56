#pragma once

#include "protocol/ackfields.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Where a byte of an HL7 v2 message stands, as HL7 names it: segment, field,
// repetition, component ("PID-3.1", "MSH-9.2", "OBX-5(2).1"). Plain bytes in,
// plain data out; the separators are the message's own, read from its MSH.
namespace Hl7Place {

using Separators = AckFields::Encoding;

// The separators the message's first MSH declares (MSH-1 and MSH-2); the
// usual ones where it declares none.
Separators separatorsOf(QByteArrayView message);

struct Place
{
    // A segment's name is three letters; bytes with no field separator make
    // one segment whose "name" may run for megabytes: only its start is kept.
    static constexpr qsizetype LongestName = 32;
    QByteArray segment;  // empty: the byte is framing or a segment's end
    bool nameCut = false; // the name ran on past LongestName
    int field = 0;       // 0: the segment's name
    int repetition = 0;  // 0: the field does not repeat
    int component = 0;   // 0: no component (the name, MSH-1, MSH-2)
    int subcomponent = 0; // 0: the component has no subcomponents
    QByteArray value;    // the smallest part named, as its bytes

    bool isValid() const { return !segment.isEmpty(); }
    // "PID-3.1", "OBX-5(2).1", "PID-3.4.2", "MSH-1", "PID"; empty when invalid;
    // a name cut ends in an ellipsis.
    QString name() const;
};

// The place of the byte at `offset`.
Place placeAt(QByteArrayView message, qsizetype offset);

// The whole of field `field` of the first segment named `segment`, repetitions
// and components included; empty when there is none.
QByteArrayView fieldOf(QByteArrayView message, QByteArrayView segment, int field);

} // namespace Hl7Place
