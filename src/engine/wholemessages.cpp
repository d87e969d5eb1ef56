// Whole MLLP messages: a block gathered over as many arrivals as it takes is
// one message. Its bytes go to the log and the store as they come, so that a
// block of any size is never held whole in memory.

#include "engine/interfaceengine.h"

#include <QDateTime>

#include <algorithm>
#include <utility>


void InterfaceEngine::takeWholeMessages(Connection &connection, const QByteArray &arrival)
{
    m_gathering = true;
    m_arrivalConnection = &connection;
    m_arrivalBytes = &arrival;
    m_gatherer.feed(arrival, *this);
    m_arrivalBytes = nullptr;
    m_arrivalConnection = nullptr;
    // A block still open has what came of it on disk as it comes.
    logBlockBytes();
}

void InterfaceEngine::logBlockBytes()
{
    if (m_blockUnlogged.isEmpty())
        return;
    if (m_log.isOpen() && !m_log.writeLinePart(m_blockUnlogged))
        reportLogWriteFailure();
    m_blockUnlogged.clear();
}

void InterfaceEngine::outside(QByteArrayView bytes)
{
    // Never dropped, never answered: listed and logged as they come.
    ++m_transactionCount;
    const QByteArray line = bytes.toByteArray();
    if (m_log.isOpen() && !m_log.writeLine(line))
        reportLogWriteFailure();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    MessageInfo info{now, now, 1, MessageInfo::Kind::Outside};
    if (m_paddedMessage < 0)
        info.precededBy = m_padding;
    m_store.append(line, info);
    messageStored();
}

void InterfaceEngine::padding(QByteArrayView bytes)
{
    // Neither listed, logged nor counted: the message before tells of it,
    // as it grows over arrivals.
    m_padding.add(bytes);
    if (m_paddedMessage >= 0)
        m_store.setFollowedBy(m_paddedMessage, m_padding);
}

void InterfaceEngine::messageStored()
{
    m_paddedMessage = m_store.size() - 1;
    m_padding = {};
}

void InterfaceEngine::blockBegins()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_block = {now, now, 0, MessageInfo::Kind::Block};
    m_blockArrival = 0;
    m_blockHead.truncate(0); // keeps its memory for the next block
    m_blockHeadDone = false;
    m_blockHeadCut = false;
}

void InterfaceEngine::blockBytes(QByteArrayView bytes)
{
    if (m_blockArrival != m_arrival) {
        m_blockArrival = m_arrival;
        ++m_block.arrivals;
    }
    if (!m_blockHeadDone) {
        // The segment ends as the answer's fields see it end.
        const char *ending = std::find_if(bytes.begin(), bytes.end(),
                                          [](char c) { return c == '\r' || c == '\n' || c == '\x1c'; });
        const qsizetype end = ending == bytes.end() ? -1 : ending - bytes.begin();
        const qsizetype room = WholeMessageHeadLimit - m_blockHead.size();
        const bool segmentEnds = end >= 0 && end < room;
        m_blockHead.append(bytes.first(segmentEnds ? end + 1 : qMin(bytes.size(), room)));
        m_blockHeadCut = !segmentEnds && m_blockHead.size() >= WholeMessageHeadLimit;
        m_blockHeadDone = segmentEnds || m_blockHeadCut;
    }
    logBlockBytes();
    // A block that is the whole arrival, the common case, shares its bytes.
    const bool wholeArrival = m_arrivalBytes && bytes.data() == m_arrivalBytes->constData()
                              && bytes.size() == m_arrivalBytes->size();
    m_blockUnlogged = wholeArrival ? *m_arrivalBytes : bytes.toByteArray();
    m_store.appendPart(m_blockUnlogged);
}

void InterfaceEngine::blockEnds()
{
    endBlock(MessageInfo::Kind::Block);
    // Sent as soon as its end has come, before anything is painted.
    answer(m_arrivalConnection, m_store.size() - 1, m_blockHead, m_blockHeadCut, m_block.arrivedMs);
}

void InterfaceEngine::blockIncomplete()
{
    endBlock(MessageInfo::Kind::Incomplete);
}

void InterfaceEngine::endBlock(MessageInfo::Kind kind)
{
    ++m_transactionCount;
    const QByteArray last = std::exchange(m_blockUnlogged, {});
    if (m_log.isOpen() && !(last.isEmpty() ? m_log.endLine() : m_log.writeLine(last)))
        reportLogWriteFailure();
    m_block.arrivedMs = QDateTime::currentMSecsSinceEpoch();
    m_block.kind = kind;
    // No padding comes inside a block: what there is came before it.
    if (m_paddedMessage < 0)
        m_block.precededBy = m_padding;
    m_store.endMessage(m_block);
    messageStored();
}
