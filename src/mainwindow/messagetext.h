#pragma once

#include <QByteArrayView>
#include <QLatin1String>
#include <QString>
#include <QStringView>

// How a received message reads as text. A message is held as bytes; here it
// comes as one character per byte (Latin-1), as the list's model gives it.
// The list, the viewer, the clipboard and the screen reader all mark the
// control bytes through these two functions, so they never disagree.
namespace MessageText {

// The mark a byte is shown with: its ASCII name for every byte below 0x20
// ("VT" for 0x0B, "CR" for 0x0D, "FS" for 0x1C), "DEL" for 0x7F, the C1
// control's name for 0x80 to 0x9F ("PAD" to "APC") and "SHY" for 0xAD;
// empty for a byte that is shown as itself.
QLatin1String markFor(QChar c);

// The size of a mark's letters, smaller than the text's, for the list and
// the viewer alike.
constexpr qreal markPointSize(qreal textPointSize)
{
    return textPointSize * 0.7 > 5.0 ? textPointSize * 0.7 : 5.0;
}

// The message as a person pastes it into a validator or an e-mail: every CR
// a line end, the block framing (0x0B at a block's start, 0x1C 0x0D at its
// end) left out, every other marked byte as its mark in angle brackets
// ("<NUL>"), every other byte as itself.
QString copyText(QStringView message);

// The most text a Copy puts on the clipboard, in characters: what a pasting
// program is handed at once and what the clipboard holds while it is ours.
// More is refused (Save As... takes any size).
constexpr qsizetype ClipboardLimit = qsizetype(64) << 20;

// Appends copyText(message) to `text`; the message as bytes is read as
// Latin-1. When that would make `text` longer than `limit`, false, and `text`
// is left as it was, having grown no further than the limit.
bool appendCopyText(QString &text, QStringView message, qsizetype limit);
bool appendCopyText(QString &text, QByteArrayView message, qsizetype limit);

} // namespace MessageText
