#pragma once

#include "ackfields.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

// The acknowledgement is not derived from the message: it is the configured
// texts around a timestamp, in MLLP block framing.
namespace Ack {
inline constexpr char StartBlock = '\x0b';
inline constexpr char EndSegment = '\x0d';
inline constexpr char EndBlock = '\x1c';
} // namespace Ack

// Year, month, day, hour (0-23) and minute run together: "202603010805".
// The year has no leading zeros; the other four take two digits each.
QString timeStampOf(const QDateTime &localTime);

// The timestamp of a moment given as milliseconds since the epoch. Every
// moment of one UTC minute has the same local minute (time zones move by
// whole minutes, at whole minutes), so the stamp is worked out once a minute
// and not once a message.
class TimeStampClock
{
public:
    QString stampAt(qint64 msecsSinceEpoch);

private:
    qint64 m_minute = -1;
    QString m_stamp;
};

// VT "MSH" before stamp after CR "MSA" msa CR FS CR, one byte per character.
QByteArray acknowledgementOf(const QString &ackBeforeDate, const QString &dateTime,
                             const QString &ackAfterDate, const QString &msaSegment);

// The acknowledgement last asked for, built again only when a text or the
// stamp differs: within a minute every message is answered with one array.
// The texts are parsed for fields only when they change.
class AcknowledgementCache
{
public:
    // The texts as they stand, {MSH-n} included.
    const QByteArray &of(const QString &ackBeforeDate, const QString &dateTime,
                         const QString &ackAfterDate, const QString &msaSegment);
    // The answer to `message`: fields of its MSH in the texts are filled in,
    // made safe (AckFields). Texts without fields give the cached array
    // above, untouched; with fields, only the message's first segment is
    // read (a batch's: up to its first MSH). `headOnly` and `cut` as for
    // AckFields::Template::capture.
    QByteArray of(const QString &ackBeforeDate, const QString &dateTime,
                  const QString &ackAfterDate, const QString &msaSegment, QByteArrayView message,
                  bool headOnly = false, bool *cut = nullptr);
    // All an answer sent later needs of `message`: the values its texts
    // name, escaped and cut; a null array when they name none.
    QByteArray capture(const QString &ackBeforeDate, const QString &ackAfterDate,
                       const QString &msaSegment, QByteArrayView message, bool headOnly = false,
                       bool *cut = nullptr);
    // Whether the texts name a field of the message.
    bool takesFields(const QString &ackBeforeDate, const QString &ackAfterDate, const QString &msaSegment)
    {
        return templateOf(ackBeforeDate, ackAfterDate, msaSegment).hasFields();
    }
    // The answer from a capture, with the texts and stamp of now.
    QByteArray answer(const QString &ackBeforeDate, const QString &dateTime,
                      const QString &ackAfterDate, const QString &msaSegment, QByteArrayView captured);

private:
    // The texts as last seen: what was made of others is dropped.
    void follow(const QString &ackBeforeDate, const QString &ackAfterDate, const QString &msaSegment);
    const QByteArray &plain(const QString &dateTime);
    const AckFields::Template &templateOf(const QString &ackBeforeDate, const QString &ackAfterDate,
                                          const QString &msaSegment);
    // The stamp's bytes, made once a minute.
    const QByteArray &stampBytes(const QString &dateTime);

    QString m_before, m_after, m_msa;
    bool m_seen = false;
    QString m_dateTime;
    QByteArray m_ack;
    bool m_built = false;
    AckFields::Template m_template;
    bool m_parsed = false;
    QString m_stamp;
    QByteArray m_stampBytes;
};
