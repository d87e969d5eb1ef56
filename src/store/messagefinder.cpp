#include "messagefinder.h"

#include "store/messagereader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
// Few reads of the disk for a search, each small enough to stay in the core's
// own cache. Blocks begin on the disk's 4 KiB blocks, so that a read past the
// cache lands straight in the buffer.
constexpr qint64 BlockBytes = qint64(1) << 20;
constexpr qint64 DiskBlock = ChunkStream::DiskBlock;

qint64 alignedDown(qint64 offset)
{
    return offset & ~(DiskBlock - 1);
}

ReadBuffer searchBuffer(qsizetype size)
{
    ReadBuffer buffer = makeReadBuffer(size);
    if (!buffer)
        throw std::bad_alloc();
    return buffer;
}

// Latin-1's capitals and their small letters: A-Z, and À-Þ but for ×.
quint8 lowerLatin1(int c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return quint8(c + 0x20);
    return quint8(c);
}

class Search
{
public:
    Search(const MessageReader &store, const FindRequest &request, FindProgress &progress, qint64 totalBytes)
        : m_store(store), m_patterns(patternsOf(request)), m_confirm(request.confirm), m_progress(progress),
          m_total(std::max<qint64>(1, totalBytes)), m_longest(longestOf(m_patterns)),
          m_buffer(searchBuffer(BlockBytes + DiskBlock + m_longest))
    {
    }

    bool cancelled() const { return m_progress.cancel.load(std::memory_order_relaxed); }
    // Why a block could not be read, the first time one could not.
    const QString &unreadReason() const { return m_unreadReason; }

    // The first (or the last) row of [first, last) that holds the text, or -1.
    qint64 forward(qint64 first, qint64 last)
    {
        if (m_patterns.empty())
            return everyRow(first, last, false);
        const qint64 end = m_store.offsetOf(last);
        for (qint64 pos = m_store.offsetOf(first); pos < end && !cancelled();) {
            const qint64 blockEnd = std::min(end, alignedDown(pos) + BlockBytes);
            const qsizetype length = read(pos, blockEnd, end);
            Places places(m_patterns.size(), -2);
            for (qsizetype at = 0; (at = nextCandidate(places, pos, blockEnd, length, first, last, at)) >= 0;) {
                const qint64 row = rowAt(pos + at, first, last);
                if (confirmed(row, pos, length))
                    return row;
                at = m_store.offsetOf(row + 1) - pos; // judged whole
            }
            advance(blockEnd - pos);
            pos = blockEnd;
        }
        return -1;
    }

    qint64 backward(qint64 first, qint64 last)
    {
        if (m_patterns.empty())
            return everyRow(first, last, true);
        const qint64 begin = m_store.offsetOf(first);
        const qint64 end = m_store.offsetOf(last);
        std::vector<qint64> rows;
        for (qint64 blockEnd = end; blockEnd > begin && !cancelled();) {
            const qint64 pos = std::max(begin, alignedDown(blockEnd - BlockBytes));
            const qsizetype length = read(pos, blockEnd, end);
            Places places(m_patterns.size(), -2);
            rows.clear();
            for (qsizetype at = 0; (at = nextCandidate(places, pos, blockEnd, length, first, last, at)) >= 0;) {
                rows.push_back(rowAt(pos + at, first, last));
                at = m_store.offsetOf(rows.back() + 1) - pos;
            }
            // A later row may hold it too: the last one confirmed.
            for (auto row = rows.rbegin(); row != rows.rend() && !cancelled(); ++row)
                if (confirmed(*row, pos, length))
                    return *row;
            advance(blockEnd - pos);
            blockEnd = pos;
        }
        return -1;
    }

private:
    // Where each text was next found in the block, so that one found further
    // on is not looked for again: -2 not yet looked for, -1 none.
    using Places = std::vector<qsizetype>;

    static std::vector<SearchPattern> patternsOf(const FindRequest &request)
    {
        std::vector<SearchPattern> patterns;
        if (!request.text.isEmpty())
            patterns.emplace_back(request.text, request.matchCase);
        for (const SiftText &also : request.alsoTexts)
            if (!also.bytes.isEmpty())
                patterns.emplace_back(also.bytes, also.matchCase);
        return patterns;
    }

    static qsizetype longestOf(const std::vector<SearchPattern> &patterns)
    {
        qsizetype longest = 0;
        for (const SearchPattern &p : patterns)
            longest = std::max(longest, p.size());
        return longest;
    }

    // The first place at or after `at` in the block where one of the texts
    // starts and lies whole within one message of [first, last), or -1.
    qsizetype nextCandidate(Places &places, qint64 pos, qint64 blockEnd, qsizetype length, qint64 first,
                            qint64 last, qsizetype at) const
    {
        for (;;) {
            qsizetype best = -1;
            size_t which = 0;
            for (size_t k = 0; k < m_patterns.size(); ++k) {
                if (places[k] != -1 && places[k] < at)
                    places[k] = m_patterns[k].find(m_buffer.get(), length, at);
                if (places[k] >= 0 && (best < 0 || places[k] < best)) {
                    best = places[k];
                    which = k;
                }
            }
            if (best < 0 || pos + best >= blockEnd)
                return -1;
            const qint64 rowEnd = m_store.offsetOf(rowAt(pos + best, first, last) + 1);
            if (pos + best + m_patterns[which].size() <= rowEnd)
                return best;
            // It ran into the next message; with one text, so would any later
            // place in this one.
            at = m_patterns.size() == 1 ? rowEnd - pos : best + 1;
        }
    }

    // Whether the candidate row holds the text as the request sees it.
    bool confirmed(qint64 row, qint64 pos, qsizetype length)
    {
        if (!m_confirm)
            return true;
        if (row == m_refused)
            return false; // a long message is a candidate in each block it spans
        const qint64 from = m_store.offsetOf(row), to = m_store.offsetOf(row + 1);
        bool holds = false;
        if (from >= pos && to <= pos + length) {
            holds = m_confirm(QByteArrayView(m_buffer.get() + (from - pos), to - from));
        } else {
            m_message.resize(to - from);
            const int error = m_store.readBytes(from, to, m_message.data(), MessageReader::Read::Passing);
            if (error != 0 && m_unreadReason.isEmpty())
                m_unreadReason = ReadResult::reasonOf(error);
            holds = error == 0 && m_confirm(m_message);
        }
        if (!holds)
            m_refused = row;
        return holds;
    }

    // Without bytes to sift with: each message of [first, last) in turn.
    qint64 everyRow(qint64 first, qint64 last, bool backward)
    {
        for (qint64 i = 0; i < last - first && !cancelled(); ++i) {
            const qint64 row = backward ? last - 1 - i : first + i;
            const ReadResult read = m_store.message(row);
            if (!read.ok() && m_unreadReason.isEmpty())
                m_unreadReason = read.reason();
            advance(m_store.sizeOf(row));
            if (read.ok() && m_confirm(read.bytes))
                return row;
        }
        return -1;
    }

    // The block [from, to) and as much after it as a match that starts in it
    // needs, up to `limit`; a block the file will not give is searched as
    // empty, and noted.
    qsizetype read(qint64 from, qint64 to, qint64 limit)
    {
        const qint64 readEnd = std::min(limit, to + m_longest - 1);
        const int error = m_store.readBytes(from, readEnd, m_buffer.get(), MessageReader::Read::Passing);
        if (error != 0 && m_unreadReason.isEmpty())
            m_unreadReason = ReadResult::reasonOf(error);
        return error == 0 ? qsizetype(readEnd - from) : 0;
    }

    // The message that holds the byte at `offset`: the last of [first, last)
    // to begin at or before it (empty messages begin where the next does).
    qint64 rowAt(qint64 offset, qint64 first, qint64 last) const
    {
        qint64 lo = first, hi = last; // offsetOf(lo) <= offset < offsetOf(hi)
        while (hi - lo > 1) {
            const qint64 mid = lo + (hi - lo) / 2;
            (m_store.offsetOf(mid) <= offset ? lo : hi) = mid;
        }
        return lo;
    }

    void advance(qint64 bytes)
    {
        m_done += bytes;
        m_progress.perMille.store(int(std::min<qint64>(1000, m_done * 1000 / m_total)), std::memory_order_relaxed);
    }

    const MessageReader &m_store;
    const std::vector<SearchPattern> m_patterns;
    const std::function<bool(QByteArrayView)> m_confirm;
    FindProgress &m_progress;
    const qint64 m_total;
    const qsizetype m_longest;
    qint64 m_done = 0;
    qint64 m_refused = -1;
    ReadBuffer m_buffer;
    QByteArray m_message;
    QString m_unreadReason;
};
} // namespace

SearchPattern::SearchPattern(const QByteArray &text, bool matchCase) : m_matchCase(matchCase)
{
    for (int c = 0; c < 256; ++c)
        m_fold[size_t(c)] = matchCase ? quint8(c) : lowerLatin1(c);
    m_text.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i)
        m_text[i] = char(m_fold[quint8(text[i])]);
    std::array<qsizetype, 256> folded;
    folded.fill(std::max<qsizetype>(1, m_text.size()));
    for (qsizetype i = 0; i + 1 < m_text.size(); ++i)
        folded[quint8(m_text[i])] = m_text.size() - 1 - i;
    // By the byte as it lies in the message, so that skipping folds nothing.
    for (int c = 0; c < 256; ++c)
        m_shift[size_t(c)] = folded[m_fold[size_t(c)]];
    // The bytes that fold to the text's first and last: the letter in either
    // case, or the byte itself.
    if (!m_text.isEmpty()) {
        const auto first = quint8(m_text.front()), last = quint8(m_text.back());
        m_first.fill(first);
        m_last.fill(last);
        for (int c = 0; c < 256; ++c) {
            if (c != first && m_fold[size_t(c)] == first)
                m_first[1] = quint8(c);
            if (c != last && m_fold[size_t(c)] == last)
                m_last[1] = quint8(c);
        }
    }
}

qsizetype SearchPattern::find(const char *data, qsizetype size, qsizetype start) const
{
    const qsizetype m = m_text.size();
    if (m == 0)
        return -1;
    const auto *bytes = reinterpret_cast<const quint8 *>(data);
    const auto *text = reinterpret_cast<const quint8 *>(m_text.constData());
    if (m == 1 && m_matchCase) {
        const void *at = start < size ? std::memchr(data + start, text[0], size_t(size - start)) : nullptr;
        return at ? static_cast<const char *>(at) - data : -1;
    }
    const auto matchesAt = [&](qsizetype i, qsizetype from, qsizetype to) {
        qsizetype j = from;
        while (j < to && m_fold[bytes[i + j]] == text[j])
            ++j;
        return j >= to;
    };
    qsizetype i = start;
#if defined(__SSE2__)
    // Sixteen places at a time: those whose first and last bytes both match
    // are few, and only they are compared in full.
    const __m128i first0 = _mm_set1_epi8(char(m_first[0])), first1 = _mm_set1_epi8(char(m_first[1]));
    const __m128i last0 = _mm_set1_epi8(char(m_last[0])), last1 = _mm_set1_epi8(char(m_last[1]));
    for (; i + m - 1 + 16 <= size; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i + m - 1));
        const __m128i both = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(a, first0), _mm_cmpeq_epi8(a, first1)),
                                           _mm_or_si128(_mm_cmpeq_epi8(b, last0), _mm_cmpeq_epi8(b, last1)));
        for (auto mask = unsigned(_mm_movemask_epi8(both)); mask != 0; mask &= mask - 1) {
            const qsizetype at = i + std::countr_zero(mask);
            if (matchesAt(at, 1, m - 1))
                return at;
        }
    }
    for (; i + m <= size; ++i) {
        if (matchesAt(i, 0, m))
            return i;
    }
#else
    for (; i + m <= size; i += m_shift[bytes[i + m - 1]]) {
        if (matchesAt(i, 0, m))
            return i;
    }
#endif
    return -1;
}

FindResult findMessage(const MessageReader &store, const FindRequest &request, FindProgress &progress)
{
    FindResult result;
    const qint64 rows = store.size();
    const bool sifted = !request.text.isEmpty()
                        || std::any_of(request.alsoTexts.begin(), request.alsoTexts.end(),
                                       [](const SiftText &also) { return !also.bytes.isEmpty(); });
    if (rows == 0 || (!sifted && !request.confirm))
        return result;
    const qint64 from = request.fromRow >= 0 && request.fromRow < rows ? request.fromRow : -1;
    Search search(store, request, progress, store.offsetOf(rows));
    // The rows after the selected one (before it, backward), then the others.
    if (!request.backward) {
        const qint64 first = from + 1;
        result.row = search.forward(first, rows);
        if (result.row < 0 && first > 0 && !search.cancelled()) {
            result.row = search.forward(0, first);
            result.wrapped = result.row >= 0;
        }
    } else {
        const qint64 last = from >= 0 ? from : rows;
        result.row = search.backward(0, last);
        if (result.row < 0 && last < rows && !search.cancelled()) {
            result.row = search.backward(last, rows);
            result.wrapped = result.row >= 0;
        }
    }
    result.cancelled = search.cancelled();
    result.unreadReason = search.unreadReason();
    if (result.cancelled)
        result.row = -1;
    return result;
}
