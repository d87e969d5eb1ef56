// Whole MLLP messages: a block gathered over as many arrivals as it takes is
// one message. With one sender its bytes go to the log and the store as they
// come, so that a block of any size is never held whole in memory; with
// several, each connection's block is held until its end, so that blocks
// gathered side by side reach the log and the store whole.

#include "engine/interfaceengine.h"

#include <QDateTime>

#include <algorithm>
#include <utility>


void InterfaceEngine::takeWholeMessages(Link &link, const QByteArray &arrival)
{
    link.gathering = true;
    link.lastActivityMs = QDateTime::currentMSecsSinceEpoch();
    m_link = &link;
    m_arrivalBytes = &arrival;
    link.gatherer.feed(arrival, *this);
    m_arrivalBytes = nullptr;
    m_link = nullptr;
    // A block still open has what came of it on disk as it comes.
    logBlockBytes(link);
}

void InterfaceEngine::logBlockBytes(Link &link)
{
    if (link.blockUnlogged.isEmpty())
        return;
    if (m_log.isOpen() && !m_log.writeLinePart(link.blockUnlogged))
        reportLogWriteFailure();
    link.blockUnlogged.clear();
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
    info.sender = m_link->sender;
    if (m_link->paddedMessage < 0)
        info.precededBy = m_link->padding;
    m_store.append(line, info);
    messageStored(*m_link);
}

void InterfaceEngine::padding(QByteArrayView bytes)
{
    // Neither listed, logged nor counted: the message before tells of it,
    // as it grows over arrivals.
    Link &link = *m_link;
    link.padding.add(bytes);
    if (link.paddedMessage >= 0)
        m_store.setFollowedBy(link.paddedMessage, link.padding);
}

void InterfaceEngine::messageStored(Link &link)
{
    link.paddedMessage = m_store.size() - 1;
    link.padding = {};
}

void InterfaceEngine::blockBegins()
{
    Link &link = *m_link;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    link.block = {now, now, 0, MessageInfo::Kind::Block};
    link.block.sender = link.sender;
    link.blockArrival = 0;
    link.blockHead.truncate(0); // keeps its memory for the next block
    link.blockHeadDone = false;
    link.blockHeadCut = false;
    link.ruleBytes.clear();
    link.holding = m_several;
}

void InterfaceEngine::blockBytes(QByteArrayView bytes)
{
    Link &link = *m_link;
    if (link.blockArrival != m_arrival) {
        link.blockArrival = m_arrival;
        ++link.block.arrivals;
    }
    // Segment by segment, up to the first (or, in a batch, its first MSH).
    for (QByteArrayView rest = bytes; !link.blockHeadDone && !rest.isEmpty();) {
        // The segment ends as the answer's fields see it end.
        const char *ending = std::find_if(rest.begin(), rest.end(),
                                          [](char c) { return c == '\r' || c == '\n' || c == '\x1c'; });
        const qsizetype end = ending == rest.end() ? -1 : ending - rest.begin();
        const qsizetype room = WholeMessageHeadLimit - link.blockHead.size();
        const bool segmentEnds = end >= 0 && end < room;
        const qsizetype taken = segmentEnds ? end + 1 : qMin(rest.size(), room);
        link.blockHead.append(rest.first(taken));
        rest = rest.sliced(taken);
        link.blockHeadCut = !segmentEnds && link.blockHead.size() >= WholeMessageHeadLimit;
        link.blockHeadDone = (segmentEnds && AckFields::holdsAnswerHeaders(link.blockHead)) || link.blockHeadCut;
    }
    // A block that is the whole arrival, the common case, shares its bytes.
    const bool wholeArrival = m_arrivalBytes && bytes.data() == m_arrivalBytes->constData()
                              && bytes.size() == m_arrivalBytes->size();
    if (!m_book.rules().empty()) {
        // A few bytes past the cap, so that the rules cut it whole characters.
        const qsizetype room = AnswerRules::TextMatchCap + 4 - link.ruleBytes.size();
        if (wholeArrival && link.ruleBytes.isEmpty() && bytes.size() <= room)
            link.ruleBytes = *m_arrivalBytes;
        else if (room > 0)
            link.ruleBytes.append(bytes.first(qMin(room, bytes.size())));
    }
    if (link.holding) {
        if (wholeArrival && link.held.isEmpty())
            link.held = *m_arrivalBytes;
        else
            link.held.append(bytes);
        return;
    }
    logBlockBytes(link);
    link.blockUnlogged = wholeArrival ? *m_arrivalBytes : bytes.toByteArray();
    m_store.appendPart(link.blockUnlogged);
}

void InterfaceEngine::blockEnds()
{
    endBlock(MessageInfo::Kind::Block);
    // Sent as soon as its end has come, before anything is painted.
    Link &link = *m_link;
    answer(&link, m_store.size() - 1, link.ruleBytes, link.blockHead, link.blockHeadCut, link.block.arrivedMs);
}

void InterfaceEngine::blockIncomplete()
{
    endBlock(MessageInfo::Kind::Incomplete);
}

void InterfaceEngine::endBlock(MessageInfo::Kind kind)
{
    Link &link = *m_link;
    ++m_transactionCount;
    MessageInfo &block = link.block;
    block.arrivedMs = QDateTime::currentMSecsSinceEpoch();
    block.kind = kind;
    // No padding comes inside a block: what there is came before it.
    if (link.paddedMessage < 0)
        block.precededBy = link.padding;
    if (link.holding) {
        const QByteArray held = std::exchange(link.held, {});
        if (m_log.isOpen() && !m_log.writeLine(held))
            reportLogWriteFailure();
        m_store.append(held, block);
    } else {
        const QByteArray last = std::exchange(link.blockUnlogged, {});
        if (m_log.isOpen() && !(last.isEmpty() ? m_log.endLine() : m_log.writeLine(last)))
            reportLogWriteFailure();
        m_store.endMessage(block);
    }
    messageStored(link);
}
