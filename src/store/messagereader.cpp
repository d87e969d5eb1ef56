#include "messagereader.h"

#include "system/unixfile.h"

#include <algorithm>

QString ReadResult::reasonOf(int error)
{
    switch (error) {
    case Cleared: return QStringLiteral("the messages were cleared");
    case NoSuchMessage: return QStringLiteral("there is no such message");
    default: return systemReason(error);
    }
}

ReadResult MessageReader::message(qint64 index, qsizetype maxBytes) const
{
    ReadResult result;
    if (index < 0 || index >= size()) {
        result.error = cleared() ? ReadResult::Cleared : ReadResult::NoSuchMessage;
        return result;
    }
    const qint64 begin = offsetOf(index);
    qint64 end = offsetOf(index + 1);
    if (maxBytes >= 0)
        end = std::min(end, begin + maxBytes);
    result.bytes = QByteArray(qsizetype(end - begin), Qt::Uninitialized);
    result.error = readBytes(begin, end, result.bytes.data());
    if (!result.ok())
        result.bytes.clear();
    return result;
}

int MessageReader::readBytes(qint64 from, qint64 to, char *out, Read how) const
{
    if (cleared())
        return ReadResult::Cleared;
    return m_run->bytes.read(from, to, out, m_run->file, how == Read::Passing);
}
