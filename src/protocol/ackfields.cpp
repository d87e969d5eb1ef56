#include "ackfields.h"

#include <cstring>

namespace AckFields {

namespace {
constexpr Encoding Standard;

bool endsSegment(char c)
{
    return c == '\r' || c == '\n' || c == '\x1c';
}

// A character an answer may declare as a separator.
bool declarable(char c)
{
    return c > ' ' && c < '\x7f' && !(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z')
           && !(c >= 'a' && c <= 'z');
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

// The openings of references, in the order of Header.
constexpr QByteArrayView Openings[HeaderCount] = {"{MSH-", "{FHS-", "{BHS-"};
constexpr qsizetype OpeningSize = 5;

// The header an opening at `at` names, if one does.
std::optional<Header> openingAt(QByteArrayView text, qsizetype at)
{
    const QByteArrayView rest = text.sliced(at);
    for (int h = 0; h < HeaderCount; ++h)
        if (rest.startsWith(Openings[h]))
            return Header(h);
    return std::nullopt;
}

// The first opening at or after `from`: its index, or -1.
qsizetype nextOpening(QByteArrayView text, qsizetype from)
{
    for (qsizetype at = text.indexOf('{', from); at >= 0; at = text.indexOf('{', at + 1))
        if (openingAt(text, at))
            return at;
    return -1;
}

// A reference {MSH-n} or {MSH-n.m} (or of FHS, BHS) at `at`: the index just
// past it, or -1.
qsizetype referenceAt(QByteArrayView text, qsizetype at, Header &header, int &field, int &component)
{
    const std::optional<Header> opening = openingAt(text, at);
    if (!opening)
        return -1;
    header = *opening;
    at += OpeningSize;
    field = numberAt(text, at);
    component = 0;
    if (field == 0)
        return -1;
    if (at < text.size() && text[at] == '.') {
        ++at;
        component = numberAt(text, at);
        if (component == 0)
            return -1;
    }
    return at < text.size() && text[at] == '}' ? at + 1 : -1;
}

// MSH-1 or MSH-2 named whole at `at` ({MSH-n} or {MSH-n.1}): the index past it, or -1.
qsizetype wholeFieldAt(QByteArrayView text, qsizetype at, int n)
{
    Header header = Header::Msh;
    int field = 0;
    int component = 0;
    const qsizetype end = referenceAt(text, at, header, field, component);
    return end >= 0 && header == Header::Msh && field == n && component <= 1 ? end : -1;
}

void appendEscape(QByteArray &out, char escape, char code)
{
    out += escape;
    out += code;
    out += escape;
}

void appendData(QByteArray &out, char c, const Encoding &to)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    const char e = to.escape;
    if (c == to.field)
        appendEscape(out, e, 'F');
    else if (c == to.component)
        appendEscape(out, e, 'S');
    else if (c == to.repetition)
        appendEscape(out, e, 'R');
    else if (c == to.subcomponent)
        appendEscape(out, e, 'T');
    else if (c == e)
        appendEscape(out, e, 'E');
    else if (uchar(c) < 0x20 || c == '\x7f') {
        out += e;
        out += 'X';
        out += Hex[uchar(c) >> 4];
        out += Hex[uchar(c) & 0xf];
        out += e;
    } else {
        out += c;
    }
}

void appendNumber(QByteArray &out, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
}

quint32 numberIn(QByteArrayView bytes, qsizetype at, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | uchar(bytes[at + i]);
    return value;
}

// A capture: the answer's separators, then each value as header and field
// (2 bytes), component (2), length (4) and its bytes.
constexpr qsizetype EncodingSize = 5;
constexpr qsizetype SlotHeaderSize = 8;

quint32 keyOf(Header header, int field)
{
    return quint32(header) << 10 | quint32(field); // fields stay below 1024
}

Encoding encodingIn(QByteArrayView captured)
{
    if (captured.size() < EncodingSize)
        return Standard;
    return {captured[0], captured[1], captured[2], captured[3], captured[4]};
}
} // namespace

Encoding Encoding::ofMessage(QByteArrayView msh1, QByteArrayView msh2)
{
    const auto at = [&](qsizetype i) { return i < msh2.size() ? msh2[i] : '\0'; };
    return {msh1.isEmpty() ? '\0' : msh1[0], at(0), at(1), at(2), at(3)};
}

Encoding Encoding::ofAnswer(char field, QByteArrayView characters)
{
    if (!declarable(field))
        return Standard;
    char declared[4] = {};
    const char standard[4] = {Standard.component, Standard.repetition, Standard.escape, Standard.subcomponent};
    const auto used = [&](char c) { return c == field || std::memchr(declared, c, 4) != nullptr; };
    int count = 0;
    while (count < 4 && count < characters.size() && declarable(characters[count]) && !used(characters[count])) {
        declared[count] = characters[count];
        ++count;
    }
    // The rest: the standard character where it is free, or another sign,
    // so that all five differ and the answer's MSH-2 declares all four.
    for (int i = count; i < 4; ++i) {
        for (const char c : {standard[i], '!', '#', '$', '%', '*', '?', '/', '@'})
            if (!used(c)) {
                declared[i] = c;
                break;
            }
    }
    return {field, declared[0], declared[1], declared[2], declared[3]};
}

QByteArray Encoding::characters() const
{
    QByteArray out;
    for (const char c : {component, repetition, escape, subcomponent})
        if (c)
            out += c;
    return out;
}

void reencode(QByteArray &out, QByteArrayView value, const Encoding &from, const Encoding &to)
{
    for (const char c : value) {
        if (c == 0)
            appendData(out, c, to);
        else if (c == from.escape)
            out += to.escape;
        else if (c == from.field)
            out += to.field;
        else if (c == from.component && to.component)
            out += to.component;
        else if (c == from.repetition && to.repetition)
            out += to.repetition;
        else if (c == from.subcomponent && to.subcomponent)
            out += to.subcomponent;
        else
            appendData(out, c, to);
    }
}

void escapeData(QByteArray &out, QByteArrayView value, const Encoding &to)
{
    for (const char c : value)
        appendData(out, c, to);
}

std::optional<Header> headerAt(QByteArrayView message, qsizetype at)
{
    if (message.size() - at < 4 || endsSegment(message[at + 3]))
        return std::nullopt;
    const QByteArrayView name = message.sliced(at, 3);
    for (int h = 0; h < HeaderCount; ++h)
        if (name == Openings[h].sliced(1, 3))
            return Header(h);
    return std::nullopt;
}

HeaderSegment::HeaderSegment(QByteArrayView message, qsizetype at, int lastField)
{
    if (!headerAt(message, at))
        return;
    const char *p = message.data();
    const qsizetype size = message.size();
    const char separator = p[at + 3];
    m_fields.resize(2);
    m_fields[1] = QByteArrayView(p + at + 3, 1);
    // Field 2 is always found: its first byte separates components.
    lastField = qMax(lastField, 2);
    qsizetype start = at + 4;
    for (int n = 2; n <= lastField; ++n) {
        qsizetype end = start;
        while (end < size && p[end] != separator && !endsSegment(p[end]))
            ++end;
        m_fields.append(QByteArrayView(p + start, end - start));
        m_reachesEnd = end >= size;
        if (end >= size || p[end] != separator)
            break;
        start = end + 1;
    }
    if (!m_fields[2].isEmpty()) {
        m_componentSeparator = m_fields[2][0];
        m_hasComponentSeparator = true;
    }
}

QByteArrayView HeaderSegment::field(int n) const
{
    return n > 0 && n < m_fields.size() ? m_fields[n] : QByteArrayView();
}

QByteArrayView HeaderSegment::component(int n, int m) const
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

Encoding HeaderSegment::encoding() const
{
    return Encoding::ofMessage(field(1), field(2));
}

namespace {
// A UTF-8 byte order mark, before the 0x0B or after it, is no part of the header.
qsizetype firstSegmentAt(QByteArrayView message)
{
    const auto skipMark = [message](qsizetype at) { return message.sliced(at).startsWith("\xef\xbb\xbf") ? at + 3 : at; };
    qsizetype at = skipMark(0);
    if (at < message.size() && message[at] == '\x0b')
        at = skipMark(at + 1);
    return at;
}

// Where the segment after the one at `at` begins; the size at the end.
qsizetype nextSegment(QByteArrayView message, qsizetype at)
{
    const qsizetype size = message.size();
    while (at < size && !endsSegment(message[at]))
        ++at;
    while (at < size && endsSegment(message[at]))
        ++at;
    return at;
}
} // namespace

MshHeader::MshHeader(QByteArrayView message, int lastField)
    : HeaderSegment(headerAt(message, firstSegmentAt(message)) == Header::Msh
                        ? HeaderSegment(message, firstSegmentAt(message), lastField)
                        : HeaderSegment())
{
}

MessageHeaders::MessageHeaders(QByteArrayView message, const int (&lastField)[HeaderCount])
{
    qsizetype at = firstSegmentAt(message);
    const std::optional<Header> first = headerAt(message, at);
    if (!first)
        return;
    if (*first == Header::Msh) {
        m_headers[int(Header::Msh)] = HeaderSegment(message, at, lastField[int(Header::Msh)]);
        return;
    }
    // A batch: its headers before the first MSH, and that MSH when it is named.
    const auto wanted = [&](Header h) {
        return lastField[int(h)] > 0 && !m_headers[int(h)].isFound();
    };
    for (; at < message.size(); at = nextSegment(message, at)) {
        const std::optional<Header> header = headerAt(message, at);
        if (header && !m_headers[int(*header)].isFound())
            m_headers[int(*header)] = HeaderSegment(message, at, lastField[int(*header)]);
        if (header == Header::Msh || (!wanted(Header::Msh) && !wanted(Header::Bhs)))
            return;
    }
    m_searchReachesEnd = true;
}

bool holdsAnswerHeaders(QByteArrayView head)
{
    const std::optional<Header> first = headerAt(head, firstSegmentAt(head));
    if (!first || *first == Header::Msh)
        return true;
    // The last segment, which its last byte ends.
    qsizetype start = head.size() - 1;
    while (start > 0 && !endsSegment(head[start - 1]))
        --start;
    return headerAt(head.first(head.size() - 1), start) == Header::Msh;
}

void Template::addLiteral(QByteArrayView bytes)
{
    m_literal.append(bytes);
}

void Template::addRef(Kind kind, Header header, int field, int component)
{
    m_refs.append({m_literal.size(), kind, header, field, component});
    if (kind == Kind::Stamp)
        return;
    m_hasFields = true;
    if (kind != Kind::Value)
        return;
    int &last = m_lastField[int(header)];
    last = qMax(last, field);
    for (const Slot &slot : m_slots)
        if (slot.header == header && slot.field == field && slot.component == component)
            return;
    m_slots.append({header, field, component});
}

void Template::addStamp()
{
    addRef(Kind::Stamp);
}

void Template::addHeaderText(QByteArrayView text)
{
    qsizetype at = wholeFieldAt(text, 0, 1);
    m_fieldFromMessage = at >= 0;
    if (m_fieldFromMessage) {
        addRef(Kind::DeclaredField);
        m_lastField[int(Header::Msh)] = qMax(m_lastField[int(Header::Msh)], 2);
    } else {
        m_declaredField = text.isEmpty() ? '\0' : text[0];
        at = text.isEmpty() ? 0 : 1;
        m_literal.append(text.first(at));
    }
    const qsizetype charactersEnd = wholeFieldAt(text, at, 2);
    m_charactersFromMessage = charactersEnd >= 0;
    if (m_charactersFromMessage) {
        addRef(Kind::DeclaredEncoding);
        m_lastField[int(Header::Msh)] = qMax(m_lastField[int(Header::Msh)], 2);
        at = charactersEnd;
    } else {
        // Only the characters before any field: the rest is the text's.
        const qsizetype field = nextOpening(text, at);
        m_declaredCharacters = text.sliced(at, qMin<qsizetype>(4, (field < 0 ? text.size() : field) - at)).toByteArray();
    }
    m_encoding = Encoding::ofAnswer(m_declaredField, m_declaredCharacters);
    addText(text.sliced(at));
}

void Template::addText(QByteArrayView text)
{
    qsizetype from = 0;
    for (;;) {
        const qsizetype brace = nextOpening(text, from);
        if (brace < 0)
            break;
        Header header = Header::Msh;
        int field = 0;
        int component = 0;
        const qsizetype end = referenceAt(text, brace, header, field, component);
        if (end < 0) {
            // Not a field: the brace is literal, and the search goes on after it.
            m_literal.append(text.sliced(from, brace + 1 - from));
            from = brace + 1;
            continue;
        }
        m_literal.append(text.sliced(from, brace - from));
        addRef(Kind::Value, header, field, component);
        from = end;
    }
    m_literal.append(text.sliced(from));
}

Encoding Template::answerEncoding(char messageField, QByteArrayView messageCharacters) const
{
    if (!m_fieldFromMessage && !m_charactersFromMessage)
        return m_encoding;
    return Encoding::ofAnswer(m_fieldFromMessage ? messageField : m_declaredField,
                              m_charactersFromMessage ? messageCharacters : QByteArrayView(m_declaredCharacters));
}

QByteArray Template::capture(QByteArrayView message, bool headOnly, bool *cut) const
{
    if (cut)
        *cut = false;
    if (!m_hasFields)
        return {};
    const MessageHeaders headers(message, m_lastField);
    const HeaderSegment &msh = headers[Header::Msh];
    const QByteArrayView msh1 = msh.field(1);
    const Encoding to = answerEncoding(msh1.isEmpty() ? '\0' : msh1[0], msh.field(2));
    const char *messageEnd = message.data() + message.size();
    QByteArray out;
    qsizetype size = EncodingSize;
    for (const Slot &slot : m_slots)
        size += SlotHeaderSize + qMin(headers[slot.header].field(slot.field).size(), ValueCap) + 8;
    out.reserve(size);
    out.append(to.field).append(to.component).append(to.repetition).append(to.escape).append(to.subcomponent);
    bool anyCut = false;
    for (const Slot &slot : m_slots) {
        const HeaderSegment &header = headers[slot.header];
        QByteArrayView value = slot.component == 0 ? header.field(slot.field)
                                                   : header.component(slot.field, slot.component);
        // The last field found runs into the end of a head: it, and any
        // after it, may go on beyond what was kept; so may a batch's header
        // looked for to the head's end and not found.
        if (headOnly && header.reachesEnd() && slot.field >= header.fieldCount()
            && (value.isNull() || value.data() + value.size() == messageEnd))
            anyCut = true;
        if (headOnly && !header.isFound() && headers.searchReachesEnd())
            anyCut = true;
        if (value.size() > ValueCap) {
            value.truncate(ValueCap);
            anyCut = true;
        }
        appendNumber(out, keyOf(slot.header, slot.field), 2);
        appendNumber(out, quint32(slot.component), 2);
        const qsizetype lengthAt = out.size();
        appendNumber(out, 0, 4);
        // Each value in the separators of the segment it was read from.
        reencode(out, value, header.encoding(), to);
        const quint32 length = quint32(out.size() - lengthAt - 4);
        for (int i = 0; i < 4; ++i)
            out[lengthAt + i] = char((length >> (8 * i)) & 0xff);
    }
    if (cut)
        *cut = anyCut;
    return out;
}

QByteArray Template::expand(QByteArrayView captured, QByteArrayView stamp) const
{
    const Encoding was = encodingIn(captured);
    const Encoding to = answerEncoding(was.field, was.characters());
    // The value of a field in the capture, in the separators it was captured with.
    const auto valueOf = [&](Header header, int field, int component) -> QByteArrayView {
        const quint32 key = keyOf(header, field);
        qsizetype at = EncodingSize;
        while (at + SlotHeaderSize <= captured.size()) {
            const qsizetype length = numberIn(captured, at + 4, 4);
            if (numberIn(captured, at, 2) == key && int(numberIn(captured, at + 2, 2)) == component)
                return captured.sliced(at + SlotHeaderSize, length);
            at += SlotHeaderSize + length;
        }
        return {};
    };
    QByteArray out;
    out.reserve(m_literal.size() + captured.size() + stamp.size());
    qsizetype done = 0;
    for (const Ref &ref : m_refs) {
        out.append(QByteArrayView(m_literal).sliced(done, ref.literalEnd - done));
        done = ref.literalEnd;
        switch (ref.kind) {
        case Kind::Stamp:
            out.append(stamp);
            break;
        case Kind::DeclaredField:
            out.append(to.field);
            break;
        case Kind::DeclaredEncoding:
            out.append(to.characters());
            break;
        case Kind::Value:
            // Captured by other texts with other separators: written in these.
            if (was == to)
                out.append(valueOf(ref.header, ref.field, ref.component));
            else
                reencode(out, valueOf(ref.header, ref.field, ref.component), was, to);
            break;
        }
    }
    out.append(QByteArrayView(m_literal).sliced(done));
    return out;
}

} // namespace AckFields
