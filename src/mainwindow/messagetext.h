#pragma once

#include "protocol/charsets.h"

#include <QByteArrayView>
#include <QLatin1String>
#include <QString>
#include <QStringView>

// How a received message reads as text. A message is held as bytes; here it
// is decoded in its character set (Charsets), a byte that does not decode
// standing as an escape. The list, the viewer, the clipboard and the screen
// reader all decode and mark through these functions, so they never disagree.
namespace MessageText {

// A message's bytes as the window shows them, and the set they were read in.
struct Shown
{
    QString text;
    Charsets::Choice choice;
};
// `whole`: `bytes` are the whole message, so a sequence cut at their end never
// ended and does not make them UTF-8. Otherwise they are its start (a row's
// first kilobyte), and the few bytes a cut leaves undecoded are left out.
Shown shown(QByteArrayView bytes, const Charsets::Setting &setting, bool whole = true);

// The mark a byte is shown with: its ASCII name for every byte below 0x20
// ("VT" for 0x0B, "CR" for 0x0D, "FS" for 0x1C), "DEL" for 0x7F, the C1
// control's name for 0x80 to 0x9F ("PAD" to "APC") and "SHY" for 0xAD;
// empty for a byte that is shown as itself.
QLatin1String markFor(QChar c);
// The mark of the character at `i` of a decoded text: markFor's, or "0xC3"
// for the escape of a byte that did not decode.
QLatin1String markAt(QStringView text, qsizetype i);

// `text` with each escaped byte as "<0xC3>" and nothing else changed: for
// the short texts shown plainly (the list's columns, a tooltip).
QString escapesMarked(QStringView text);

// The text in UTF-8, each escaped byte as "<0xC3>": what the viewer finds
// HL7 places in, whatever the message's set (its separators are ASCII).
QByteArray placeBytes(QStringView text);
// The bytes of placeBytes() the character at `i` makes (0 for the second
// half of a pair).
int placeLength(QStringView text, qsizetype i);

// The size of a mark's letters, smaller than the text's, for the list and
// the viewer alike.
constexpr qreal markPointSize(qreal textPointSize)
{
    return textPointSize * 0.7 > 5.0 ? textPointSize * 0.7 : 5.0;
}

// The message as a person pastes it into a validator or an e-mail: every CR
// a line end, the block framing (0x0B at a block's start, 0x1C 0x0D at its
// end) left out, every other marked byte as its mark in angle brackets
// ("<NUL>", an escaped byte "<0xC3>"), every other character as itself.
QString copyText(QStringView message);

// The most text a Copy puts on the clipboard, in characters: what a pasting
// program is handed at once and what the clipboard holds while it is ours.
// More is refused (Save As... takes any size).
constexpr qsizetype ClipboardLimit = qsizetype(64) << 20;

// Appends copyText(message) to `text`; the message as bytes is decoded in
// the set `setting` gives it. When that would make `text` longer than
// `limit`, false, and `text` is left as it was, having grown no further than
// the limit.
bool appendCopyText(QString &text, QStringView message, qsizetype limit);
bool appendCopyText(QString &text, QByteArrayView message, qsizetype limit,
                    const Charsets::Setting &setting = {});

} // namespace MessageText
