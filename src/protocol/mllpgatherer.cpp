#include "mllpgatherer.h"

#include <cstring>

namespace {
constexpr char StartBlock = '\x0b';
constexpr char FileSeparator = '\x1c';
constexpr char CarriageReturn = '\x0d';

bool isPadding(char byte)
{
    return byte == '\r' || byte == '\n' || byte == '\0';
}

qsizetype find(const char *p, qsizetype from, qsizetype size, char byte)
{
    const void *hit = std::memchr(p + from, byte, size_t(size - from));
    return hit ? static_cast<const char *>(hit) - p : -1;
}

// A UTF-8 byte order mark, which a sender may write before a block's 0x0B.
bool isMark(const char *p)
{
    return std::memcmp(p, "\xef\xbb\xbf", 3) == 0;
}
} // namespace

void MllpGatherer::feed(QByteArrayView arrival, Receiver &receiver)
{
    const char *p = arrival.data();
    const qsizetype size = arrival.size();
    qsizetype at = 0;
    while (at < size) {
        if (m_state == State::Outside) {
            // Padding runs up to the next 0x0B or the arrival's end; from the
            // first other byte on, the run is outside bytes, and the rest of
            // it is only searched for a 0x0B.
            qsizetype start = at;
            while (start < size && isPadding(p[start]))
                ++start;
            // A byte order mark right before a 0x0B begins the block with it.
            const bool markedBlock = size - start > 3 && p[start + 3] == StartBlock && isMark(p + start);
            if (start == size || p[start] == StartBlock || markedBlock) {
                if (start != at)
                    receiver.padding(arrival.sliced(at, start - at));
                if (start == size)
                    return;
            } else {
                start = find(p, start, size, StartBlock);
                if (start >= 0 && start - 3 >= at && isMark(p + start - 3))
                    start -= 3;
                receiver.outside(arrival.sliced(at, (start < 0 ? size : start) - at));
                if (start < 0)
                    return;
            }
            receiver.blockBegins();
            m_state = State::InBlock;
            at = start;
        }
        // Inside a block from `at`: its end is the first 0x1C 0x0D, which
        // may have begun in the arrival before.
        const qsizetype blockFrom = at;
        qsizetype end = -1;
        if (m_state == State::AfterFileSeparator) {
            if (p[at] == CarriageReturn)
                end = at + 1;
            m_state = State::InBlock;
        }
        while (end < 0) {
            const qsizetype separator = find(p, at, size, FileSeparator);
            if (separator < 0 || separator + 1 == size) {
                // The block goes on into the next arrival.
                m_state = separator < 0 ? State::InBlock : State::AfterFileSeparator;
                receiver.blockBytes(arrival.sliced(blockFrom));
                return;
            }
            if (p[separator + 1] == CarriageReturn)
                end = separator + 2;
            else
                at = separator + 1;
        }
        receiver.blockBytes(arrival.sliced(blockFrom, end - blockFrom));
        receiver.blockEnds();
        m_state = State::Outside;
        at = end;
    }
}

void MllpGatherer::finish(Receiver &receiver)
{
    if (m_state != State::Outside)
        receiver.blockIncomplete();
    m_state = State::Outside;
}
