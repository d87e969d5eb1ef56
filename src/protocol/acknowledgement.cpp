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

void AcknowledgementCache::follow(const QString &ackBeforeDate, const QString &ackAfterDate,
                                  const QString &msaSegment)
{
    // The texts are compared once an answer; what was made of them goes
    // only when they change.
    if (m_seen && ackBeforeDate == m_before && ackAfterDate == m_after && msaSegment == m_msa)
        return;
    m_before = ackBeforeDate;
    m_after = ackAfterDate;
    m_msa = msaSegment;
    m_seen = true;
    m_built = false;
    m_parsed = false;
}

const QByteArray &AcknowledgementCache::plain(const QString &dateTime)
{
    if (!m_built || dateTime != m_dateTime) {
        m_ack = acknowledgementOf(m_before, dateTime, m_after, m_msa);
        m_dateTime = dateTime;
        m_built = true;
    }
    return m_ack;
}

const QByteArray &AcknowledgementCache::of(const QString &ackBeforeDate, const QString &dateTime,
                                           const QString &ackAfterDate, const QString &msaSegment)
{
    follow(ackBeforeDate, ackAfterDate, msaSegment);
    return plain(dateTime);
}

const AckFields::Template &AcknowledgementCache::templateOf(const QString &ackBeforeDate,
                                                           const QString &ackAfterDate,
                                                           const QString &msaSegment)
{
    follow(ackBeforeDate, ackAfterDate, msaSegment);
    if (!m_parsed) {
        // The bytes of acknowledgementOf, parsed once for fields; the stamp
        // and the framing are never fields.
        m_template = {};
        m_template.addLiteral("\x0bMSH");
        m_template.addHeaderText(m_before.toLatin1());
        m_template.addStamp();
        m_template.addText(m_after.toLatin1());
        m_template.addLiteral("\rMSA");
        m_template.addText(m_msa.toLatin1());
        m_template.addLiteral("\r\x1c\r");
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
        return plain(dateTime);
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
        return plain(dateTime);
    return texts.expand(captured, stampBytes(dateTime));
}
