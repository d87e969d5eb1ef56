#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// The character set a message is shown in. The bytes stay as they came; only
// what the operator reads (and finds) is decoded, with Qt's QStringDecoder
// (which on this system decodes every set ICU has).
namespace Charsets {

// The HL7 names of character sets (table 0211) and the common names senders
// put in MSH-18 instead, as a name QStringDecoder knows; empty when unknown.
// Case and spaces do not matter. MSH-18 may repeat (~): the first repetition
// counts.
QByteArray decoderNameFor(QByteArrayView msh18);

// [Text] in ackprobe-options.ini.
struct Setting
{
    QString characterSet = QStringLiteral("Automatic");
    bool useMsh18 = true;
    bool operator==(const Setting &) const = default;
};

// The set a message is shown in, and why.
struct Choice
{
    QByteArray name; // the decoder's name: "UTF-8", "ISO-8859-1", "windows-1252", "GB18030"...
    enum class Why : quint8 { Msh18, AutomaticUtf8, AutomaticNotUtf8, Chosen } why = Why::AutomaticUtf8;
    QByteArray msh18; // MSH-18 as it stands, when it decided (or when it named an unknown set)

    // "UTF-8, from MSH-18 'UNICODE UTF-8'", "ISO-8859-1, automatic: not valid
    // UTF-8", "UTF-8, automatic", "windows-1252, chosen"; an unknown MSH-18
    // adds " (MSH-18 'XYZ' is not known)".
    QString describe() const;
    bool operator==(const Choice &) const = default;
};

// The message's set: MSH-18 when `setting.useMsh18` and it names a known set
// (read from the message's first MSH in its own separators; a batch's first
// MSH inside FHS/BHS), else the setting: Automatic is UTF-8 when `bytes` are
// valid UTF-8 (a sequence cut at the end counts as valid, since a row reads
// only the start of its message), else ISO-8859-1; or the chosen name (one
// QStringDecoder does not know falls back to Automatic).
Choice choose(QByteArrayView bytes, const Setting &setting);

// `bytes` decoded with the named set. A byte that does not decode becomes the
// lone surrogate U+DC00 + byte (a real character never decodes to one), never
// dropped or replaced silently. The ASCII bytes of an ASCII-compatible set
// decode to themselves, control bytes included. An unknown name decodes as
// ISO-8859-1.
QString decode(QByteArrayView bytes, const QByteArray &name);

// The byte the escaped character at `i` stands for, or -1 when it is none
// (a lone low surrogate: not preceded by a high one).
int escapedByte(QStringView text, qsizetype i);

// The sets decoderNameFor() gives for the names of HL7 table 0211, each once.
QList<QByteArray> msh18Sets();

// The names QStringDecoder knows, sorted, "Automatic" first: for a chooser.
QStringList choosable();

// Whether QStringDecoder knows `name` (or it is "Automatic").
bool isKnown(const QString &name);

// Whether every ASCII byte of the set is that character (its control bytes
// at least one below 0x80): not so for ISO 2022, UTF-16 or EBCDIC.
bool isAsciiCompatible(const QByteArray &name);
// And no character of several bytes holds an ASCII byte (Shift_JIS, Big5
// and GB18030 do): an ASCII text found among the bytes is in the text.
bool asciiStandsAlone(const QByteArray &name);

} // namespace Charsets
