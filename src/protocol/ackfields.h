#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QVarLengthArray>

#include <optional>

// Fields of a message's MSH segment in the acknowledgement texts: {MSH-n}
// is field n, {MSH-n.m} component m of it; in a batch, {FHS-n} and {BHS-n}
// name its headers' fields, and {MSH-n} those of the first MSH inside it. A value is echoed in the
// answer's own separators, escaped where it would otherwise frame, split or
// add to the answer. Every other text, braces included, stays literal.
namespace AckFields {

// Field and component numbers a text may name: 1 to 999.
inline constexpr int HighestNumber = 999;
// An echoed value is cut after this many bytes of the message.
inline constexpr qsizetype ValueCap = 64 * 1024;

// The separators of one side: 0 where it has none.
struct Encoding
{
    char field = '|';
    char component = '^';
    char repetition = '~';
    char escape = '\\';
    char subcomponent = '&';

    // A message's, as its MSH-1 and MSH-2 stand, unchecked.
    static Encoding ofMessage(QByteArrayView msh1, QByteArrayView msh2);
    // An answer's, as its MSH declares them. A field separator that is a
    // letter, a digit, a space or a control byte declares nothing: the
    // standard |^~\& stands. Encoding characters count up to the first that
    // is one of those or repeats one before; the ones not declared take the
    // standard character, or another sign where that is taken: all five are
    // always there and differ.
    static Encoding ofAnswer(char field, QByteArrayView characters);
    // Component, repetition, escape and subcomponent, those there are.
    QByteArray characters() const;
    bool operator==(const Encoding &) const = default;
};

// Appends `value`, written with the separators of `from`, in those of
// `to`: the separators and escape of `from` become those of `to` (so MSH-1
// and MSH-2 become the answer's own); a byte
// that is plain data there and special in `to` becomes \F\ \S\ \R\ \T\ \E\,
// and every control byte (0x00-0x1F, 0x7F) \Xhh\, with the escape of `to`.
// No framing byte and no segment end is ever appended.
void reencode(QByteArray &out, QByteArrayView value, const Encoding &from, const Encoding &to);
// `value` as plain data: nothing of it is a separator.
void escapeData(QByteArray &out, QByteArrayView value, const Encoding &to);

// The header segments a text may name: {MSH-n}, {FHS-n}, {BHS-n}.
enum class Header : quint8 { Msh, Fhs, Bhs };
inline constexpr int HeaderCount = 3;

// A header segment (MSH, FHS or BHS), located once; it ends at CR, LF or
// 0x1C. Field 1 is its field separator and field 2 its encoding characters;
// both are one component each. Fields beyond `lastField` are not looked
// for, so a header is scanned only as far as the texts need.
class HeaderSegment
{
public:
    HeaderSegment() = default;
    // The header whose name begins at `at` in `message`, if it is one.
    HeaderSegment(QByteArrayView message, qsizetype at, int lastField);

    bool isFound() const { return !m_fields.isEmpty(); }
    // Empty where the segment lacks it, or there is none.
    QByteArrayView field(int n) const;
    QByteArrayView component(int n, int m) const;
    Encoding encoding() const;
    // Fields found, field 1 included.
    int fieldCount() const { return qMax(int(m_fields.size()) - 1, 0); }
    // The last field found runs to the end of the bytes: no segment end came.
    bool reachesEnd() const { return m_reachesEnd; }

private:
    // Index n holds field n; index 0 stays empty.
    QVarLengthArray<QByteArrayView, 24> m_fields;
    char m_componentSeparator = 0;
    bool m_hasComponentSeparator = false;
    bool m_reachesEnd = false;
};

// The MSH segment that begins a message (after one 0x0B, and a UTF-8 byte
// order mark before or after it).
class MshHeader : public HeaderSegment
{
public:
    MshHeader(QByteArrayView message, int lastField);
};

// Which header begins at `at` (its name and a separator), if any.
std::optional<Header> headerAt(QByteArrayView message, qsizetype at);

// The headers a message's answer reads. A message that begins (after one
// 0x0B) with MSH has that one alone, found as MshHeader finds it. A batch,
// beginning with FHS or BHS, has its FHS and BHS and the first MSH inside
// it, looked for segment by segment only up to that MSH.
class MessageHeaders
{
public:
    // `lastField[h]`: the last field of header h the texts name; a batch's
    // MSH is looked for only when it is more than 0.
    MessageHeaders(QByteArrayView message, const int (&lastField)[HeaderCount]);

    const HeaderSegment &operator[](Header h) const { return m_headers[int(h)]; }
    // A batch looked through to the end of the bytes, its MSH not found:
    // headers missing may lie beyond them.
    bool searchReachesEnd() const { return m_searchReachesEnd; }

private:
    HeaderSegment m_headers[HeaderCount];
    bool m_searchReachesEnd = false;
};

// A message's first bytes, ending at a segment's end, hold every header the
// answer's fields read: its first segment, or, in a batch, everything
// through the first MSH inside it.
bool holdsAnswerHeaders(QByteArrayView head);

// An acknowledgement's bytes cut into literal runs, the timestamp's place
// and field references, parsed once when a text changes. What an answer
// needs of its message is captured once (a few escaped values, nothing when
// the texts name no field), so that an answer sent later keeps no more.
class Template
{
public:
    // Literal bytes, never searched for fields (framing).
    void addLiteral(QByteArrayView bytes);
    // The text right after "MSH": its first character and the encoding
    // characters after it declare the answer's separators. A {MSH-1} or
    // {MSH-2} standing there declares the message's own, made safe as
    // Encoding::ofAnswer makes them; it is written as the answer's.
    void addHeaderText(QByteArrayView text);
    // A configured text, one byte per character, searched for fields.
    void addText(QByteArrayView text);
    // The timestamp's place.
    void addStamp();

    bool hasFields() const { return m_hasFields; }
    // The values the texts name, already in the answer's separators and cut
    // at ValueCap. `headOnly`: the message is only its first bytes, so a
    // value that runs into their end, or lies beyond it, is cut too.
    // `cut`, when given, is set when a value was cut.
    QByteArray capture(QByteArrayView message, bool headOnly = false, bool *cut = nullptr) const;
    // The answer from values captured by this template or an earlier one
    // (fields it did not capture are empty).
    QByteArray expand(QByteArrayView captured, QByteArrayView stamp) const;
    QByteArray expandMessage(QByteArrayView message, QByteArrayView stamp) const
    {
        return expand(capture(message), stamp);
    }

private:
    enum class Kind : quint8 { Value, Stamp, DeclaredField, DeclaredEncoding };
    struct Ref
    {
        qsizetype literalEnd; // the literal bytes up to here come before it
        Kind kind;
        Header header;
        int field;
        int component; // 0: the whole field
    };
    struct Slot
    {
        Header header;
        int field;
        int component;
    };
    void addRef(Kind kind, Header header = Header::Msh, int field = 0, int component = 0);
    // The answer's separators, with those taken from the message.
    Encoding answerEncoding(char messageField, QByteArrayView messageCharacters) const;

    QByteArray m_literal;
    QList<Ref> m_refs;
    QList<Slot> m_slots; // the values captured, each once
    int m_lastField[HeaderCount] = {};
    bool m_hasFields = false;
    // The answer's declaration: taken from the message, or these.
    bool m_fieldFromMessage = false;
    bool m_charactersFromMessage = false;
    char m_declaredField = 0;
    QByteArray m_declaredCharacters;
    Encoding m_encoding; // when nothing of it comes from the message
};

} // namespace AckFields
