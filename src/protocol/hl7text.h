#pragma once

#include "ackfields.h"

#include <QByteArrayView>

#include <array>
#include <cstring>
#include <string_view>

// Small readings of HL7 text shared by the protocol's readers: parts between
// separators, and the separators a header segment declares.
namespace Hl7Text {

// Segments end at CR; files often carry LF too. The block framing (VT, FS)
// belongs to no segment.
inline bool endsSegment(char c)
{
    return c == '\r' || c == '\n' || c == '\x0b' || c == '\x1c';
}

// Where segments end, found with memchr for each of the four ends and kept
// until passed: a walk over the segments at memchr's speed, not byte by byte.
class SegmentEnds
{
public:
    explicit SegmentEnds(QByteArrayView text) : m_text(text) {}

    // The first end at or after `at`; the text's size when there is none.
    qsizetype from(qsizetype at)
    {
        static constexpr char Ends[] = {'\r', '\n', '\x0b', '\x1c'};
        if (at >= m_text.size())
            return m_text.size();
        qsizetype nearest = m_text.size();
        for (std::size_t k = 0; k < m_next.size(); ++k) {
            // What was found from an earlier place holds if it is not passed.
            if (m_looked[k] > at || m_next[k] < at) {
                const void *end = std::memchr(m_text.data() + at, Ends[k], std::size_t(m_text.size() - at));
                m_next[k] = end ? static_cast<const char *>(end) - m_text.data() : m_text.size();
                m_looked[k] = at;
            }
            nearest = qMin(nearest, m_next[k]);
        }
        return nearest;
    }

private:
    QByteArrayView m_text;
    std::array<qsizetype, 4> m_looked{};
    std::array<qsizetype, 4> m_next{-1, -1, -1, -1};
};

// Where `part` first stands in `text` at or after `from`, or -1. The
// standard library's search looks for the first byte with memchr, which beats
// a hash over every byte for the short names and words looked for here.
inline qsizetype find(QByteArrayView text, QByteArrayView part, qsizetype from = 0)
{
    const std::string_view in(text.data(), std::size_t(text.size()));
    const std::size_t at = in.find(std::string_view(part.data(), std::size_t(part.size())), std::size_t(from));
    return at == std::string_view::npos ? -1 : qsizetype(at);
}

// The part of `text` between the n-th and (n+1)-th separator (n from 0), and
// where it begins; empty when there are fewer.
inline QByteArrayView nth(QByteArrayView text, char separator, qsizetype n, qsizetype *begin = nullptr)
{
    qsizetype from = 0;
    for (; n > 0; --n) {
        const qsizetype next = text.indexOf(separator, from);
        if (next < 0)
            return {};
        from = next + 1;
    }
    const qsizetype to = text.indexOf(separator, from);
    if (begin)
        *begin = from;
    return text.sliced(from, (to < 0 ? text.size() : to) - from);
}

// A header's own separators (MSH, FHS, BHS, at least four bytes): its
// field 1, and its field 2 up to the field separator; what it leaves out
// stays usual.
inline AckFields::Encoding separatorsOfHeader(QByteArrayView segment)
{
    AckFields::Encoding s;
    s.field = segment[3];
    const QByteArrayView rest = segment.sliced(4);
    const qsizetype end = rest.indexOf(s.field);
    const QByteArrayView declared = rest.first(qMin<qsizetype>(4, end < 0 ? rest.size() : end));
    char *const into[] = {&s.component, &s.repetition, &s.escape, &s.subcomponent};
    for (qsizetype i = 0; i < declared.size(); ++i)
        *into[i] = declared[i];
    return s;
}

} // namespace Hl7Text
