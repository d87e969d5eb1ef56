#include "acknowledgement.h"

namespace {
void appendTwoDigits(QString &out, int value)
{
    if (value < 10)
        out += QLatin1Char('0');
    out += QString::number(value);
}
} // namespace

QString timeStampOf(const QDateTime &localTime)
{
    const QDate date = localTime.date();
    const QTime time = localTime.time();
    QString stamp = QString::number(date.year());
    appendTwoDigits(stamp, date.month());
    appendTwoDigits(stamp, date.day());
    appendTwoDigits(stamp, time.hour());
    appendTwoDigits(stamp, time.minute());
    return stamp;
}

QString TimeStampClock::stampAt(qint64 msecsSinceEpoch)
{
    const qint64 minute = msecsSinceEpoch >= 0 ? msecsSinceEpoch / 60000
                                                : (msecsSinceEpoch - 59999) / 60000;
    if (minute != m_minute) {
        m_minute = minute;
        m_stamp = timeStampOf(QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch));
    }
    return m_stamp;
}

QByteArray acknowledgementOf(const QString &ackBeforeDate, const QString &dateTime,
                             const QString &ackAfterDate, const QString &msaSegment)
{
    QByteArray ack;
    ack.reserve(11 + ackBeforeDate.size() + dateTime.size() + ackAfterDate.size()
                + msaSegment.size());
    ack += Ack::StartBlock;
    ack += "MSH";
    ack += ackBeforeDate.toLatin1();
    ack += dateTime.toLatin1();
    ack += ackAfterDate.toLatin1();
    ack += Ack::EndSegment;
    ack += "MSA";
    ack += msaSegment.toLatin1();
    ack += Ack::EndSegment;
    ack += Ack::EndBlock;
    ack += Ack::EndSegment;
    return ack;
}

const QByteArray &AcknowledgementCache::of(const QString &ackBeforeDate, const QString &dateTime,
                                           const QString &ackAfterDate, const QString &msaSegment)
{
    if (!m_built || dateTime != m_dateTime || ackBeforeDate != m_before
        || ackAfterDate != m_after || msaSegment != m_msa) {
        m_ack = acknowledgementOf(ackBeforeDate, dateTime, ackAfterDate, msaSegment);
        m_before = ackBeforeDate;
        m_dateTime = dateTime;
        m_after = ackAfterDate;
        m_msa = msaSegment;
        m_built = true;
    }
    return m_ack;
}

const AckFields::Template &AcknowledgementCache::templateOf(const QString &ackBeforeDate,
                                                           const QString &ackAfterDate,
                                                           const QString &msaSegment)
{
    if (!m_parsed || ackBeforeDate != m_parsedBefore || ackAfterDate != m_parsedAfter
        || msaSegment != m_parsedMsa) {
        // The bytes of acknowledgementOf, parsed once for fields; the stamp
        // and the framing are never fields.
        m_template = {};
        m_template.addLiteral("\x0bMSH");
        m_template.addHeaderText(ackBeforeDate.toLatin1());
        m_template.addStamp();
        m_template.addText(ackAfterDate.toLatin1());
        m_template.addLiteral("\rMSA");
        m_template.addText(msaSegment.toLatin1());
        m_template.addLiteral("\r\x1c\r");
        m_parsedBefore = ackBeforeDate;
        m_parsedAfter = ackAfterDate;
        m_parsedMsa = msaSegment;
        m_parsed = true;
    }
    return m_template;
}

QByteArray AcknowledgementCache::of(const QString &ackBeforeDate, const QString &dateTime,
                                    const QString &ackAfterDate, const QString &msaSegment,
                                    QByteArrayView message, bool headOnly, bool *cut)
{
    const AckFields::Template &texts = templateOf(ackBeforeDate, ackAfterDate, msaSegment);
    if (cut)
        *cut = false;
    if (!texts.hasFields())
        return of(ackBeforeDate, dateTime, ackAfterDate, msaSegment);
    return texts.expand(texts.capture(message, headOnly, cut), stampBytes(dateTime));
}

const QByteArray &AcknowledgementCache::stampBytes(const QString &dateTime)
{
    if (dateTime != m_stamp) {
        m_stamp = dateTime;
        m_stampBytes = dateTime.toLatin1();
    }
    return m_stampBytes;
}

QByteArray AcknowledgementCache::capture(const QString &ackBeforeDate, const QString &ackAfterDate,
                                         const QString &msaSegment, QByteArrayView message,
                                         bool headOnly, bool *cut)
{
    if (cut)
        *cut = false;
    return templateOf(ackBeforeDate, ackAfterDate, msaSegment).capture(message, headOnly, cut);
}

QByteArray AcknowledgementCache::answer(const QString &ackBeforeDate, const QString &dateTime,
                                        const QString &ackAfterDate, const QString &msaSegment,
                                        QByteArrayView captured)
{
    const AckFields::Template &texts = templateOf(ackBeforeDate, ackAfterDate, msaSegment);
    if (!texts.hasFields())
        return of(ackBeforeDate, dateTime, ackAfterDate, msaSegment);
    return texts.expand(captured, stampBytes(dateTime));
}
