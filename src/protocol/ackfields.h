#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QVarLengthArray>

// Fields of a message's MSH segment in the acknowledgement texts: {MSH-n}
// is field n, {MSH-n.m} component m of it, as the bytes stand (no
// unescaping), with the message's own separators. Every other text, braces
// included, stays literal.
namespace AckFields {

// Field and component numbers a text may name: 1 to 999.
inline constexpr int HighestNumber = 999;

// The MSH segment that begins a message (after one 0x0B), located once; it
// ends at CR, LF or 0x1C.
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

private:
    // Index n holds MSH-n; index 0 stays empty.
    QVarLengthArray<QByteArrayView, 24> m_fields;
    char m_componentSeparator = 0;
    bool m_hasComponentSeparator = false;
};

// An acknowledgement's bytes cut into literal runs and field references,
// parsed once when a text changes and expanded once a message.
class Template
{
public:
    // Literal bytes, never searched for fields (framing, the timestamp).
    void addLiteral(QByteArrayView bytes);
    // A configured text, one byte per character, searched for fields.
    void addText(QByteArrayView text);

    bool hasFields() const { return !m_refs.isEmpty(); }
    QByteArray expand(QByteArrayView message) const;

private:
    struct Ref
    {
        qsizetype literalEnd; // the literal bytes up to here come before it
        int field;
        int component; // 0: the whole field
    };
    QByteArray m_literal;
    QList<Ref> m_refs;
    int m_lastField = 0;
};

} // namespace AckFields
