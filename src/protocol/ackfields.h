#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QVarLengthArray>

// Fields of a message's MSH segment in the acknowledgement texts: {MSH-n}
// is field n, {MSH-n.m} component m of it. A value is echoed in the
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

// The MSH segment that begins a message (after one 0x0B, and a UTF-8 byte
// order mark before or after it), located once; it ends at CR, LF or 0x1C.
// MSH-1 is the field separator and MSH-2 the encoding characters; both are
// one component each. Fields beyond `lastField` are not looked for, so a
// header is scanned only as far as the texts need.
class MshHeader
{
public:
    MshHeader(QByteArrayView message, int lastField);

    // Empty where the message lacks it, or has no MSH at its start.
    QByteArrayView field(int n) const;
    QByteArrayView component(int n, int m) const;
    Encoding encoding() const;
    // Fields found, MSH-1 included.
    int fieldCount() const { return int(m_fields.size()) - 1; }
    // The last field found runs to the end of the bytes: no segment end came.
    bool reachesEnd() const { return m_reachesEnd; }

private:
    // Index n holds MSH-n; index 0 stays empty.
    QVarLengthArray<QByteArrayView, 24> m_fields;
    char m_componentSeparator = 0;
    bool m_hasComponentSeparator = false;
    bool m_reachesEnd = false;
};

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
        int field;
        int component; // 0: the whole field
    };
    struct Slot
    {
        int field;
        int component;
    };
    void addRef(Kind kind, int field = 0, int component = 0);
    // The answer's separators, with those taken from the message.
    Encoding answerEncoding(char messageField, QByteArrayView messageCharacters) const;

    QByteArray m_literal;
    QList<Ref> m_refs;
    QList<Slot> m_slots; // the values captured, each once
    int m_lastField = 0;
    bool m_hasFields = false;
    // The answer's declaration: taken from the message, or these.
    bool m_fieldFromMessage = false;
    bool m_charactersFromMessage = false;
    char m_declaredField = 0;
    QByteArray m_declaredCharacters;
    Encoding m_encoding; // when nothing of it comes from the message
};

} // namespace AckFields
