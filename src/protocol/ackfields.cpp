#include "ackfields.h"

#include <cstring>

namespace AckFields {

namespace {
bool endsSegment(char c)
{
    return c == '\r' || c == '\n' || c == '\x1c';
}

// A number from 1 to HighestNumber without a leading zero, at `at`; moves `at`
// past it. 0 when there is none.
int numberAt(QByteArrayView text, qsizetype &at)
{
    int value = 0;
    qsizetype i = at;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - at < 3) {
        if (value == 0 && text[i] == '0')
            return 0;
        value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (i < text.size() && text[i] >= '0' && text[i] <= '9')
        return 0; // a fourth digit: beyond any number a text may name
    at = i;
    return value;
}
} // namespace

MshHeader::MshHeader(QByteArrayView message, int lastField)
{
    const char *p = message.data();
    const qsizetype size = message.size();
    qsizetype i = (size > 0 && p[0] == '\x0b') ? 1 : 0;
    if (size - i < 4 || std::memcmp(p + i, "MSH", 3) != 0 || endsSegment(p[i + 3]))
        return;
    const char separator = p[i + 3];
    m_fields.resize(2);
    m_fields[1] = QByteArrayView(p + i + 3, 1);
    // MSH-2 is always found: its first byte separates components.
    lastField = qMax(lastField, 2);
    qsizetype start = i + 4;
    for (int n = 2; n <= lastField; ++n) {
        qsizetype end = start;
        while (end < size && p[end] != separator && !endsSegment(p[end]))
            ++end;
        m_fields.append(QByteArrayView(p + start, end - start));
        if (end >= size || p[end] != separator)
            break;
        start = end + 1;
    }
    if (!m_fields[2].isEmpty()) {
        m_componentSeparator = m_fields[2][0];
        m_hasComponentSeparator = true;
    }
}

QByteArrayView MshHeader::field(int n) const
{
    return n > 0 && n < m_fields.size() ? m_fields[n] : QByteArrayView();
}

QByteArrayView MshHeader::component(int n, int m) const
{
    const QByteArrayView whole = field(n);
    // The separator and the encoding characters are not cut into components.
    if (n <= 2 || !m_hasComponentSeparator)
        return m == 1 ? whole : QByteArrayView();
    qsizetype start = 0;
    for (int k = 1;; ++k) {
        const qsizetype end = whole.indexOf(m_componentSeparator, start);
        if (k == m)
            return whole.sliced(start, (end < 0 ? whole.size() : end) - start);
        if (end < 0)
            return {};
        start = end + 1;
    }
}

void Template::addLiteral(QByteArrayView bytes)
{
    m_literal.append(bytes);
}

void Template::addText(QByteArrayView text)
{
    static constexpr QByteArrayView Opening("{MSH-");
    qsizetype from = 0;
    for (;;) {
        const qsizetype brace = text.indexOf(Opening, from);
        if (brace < 0)
            break;
        qsizetype at = brace + Opening.size();
        const int field = numberAt(text, at);
        int component = 0;
        if (field > 0 && at < text.size() && text[at] == '.') {
            ++at;
            component = numberAt(text, at);
            if (component == 0)
                at = -1;
        }
        if (field == 0 || at < 0 || at >= text.size() || text[at] != '}') {
            // Not a field: the brace is literal, and the search goes on after it.
            m_literal.append(text.sliced(from, brace + 1 - from));
            from = brace + 1;
            continue;
        }
        m_literal.append(text.sliced(from, brace - from));
        m_refs.append({m_literal.size(), field, component});
        m_lastField = qMax(m_lastField, field);
        from = at + 1;
    }
    m_literal.append(text.sliced(from));
}

QByteArray Template::expand(QByteArrayView message) const
{
    const MshHeader header(message, m_lastField);
    const auto valueOf = [&](const Ref &ref) {
        return ref.component == 0 ? header.field(ref.field) : header.component(ref.field, ref.component);
    };
    qsizetype size = m_literal.size();
    for (const Ref &ref : m_refs)
        size += valueOf(ref).size();
    QByteArray out;
    out.reserve(size);
    qsizetype done = 0;
    for (const Ref &ref : m_refs) {
        out.append(QByteArrayView(m_literal).sliced(done, ref.literalEnd - done));
        out.append(valueOf(ref));
        done = ref.literalEnd;
    }
    out.append(QByteArrayView(m_literal).sliced(done));
    return out;
}

} // namespace AckFields
