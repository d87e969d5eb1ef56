#pragma once

#include "protocol/charsets.h"
#include "settings/options.h"
#include "store/messagefinder.h"

#include <QString>

// Find over the text as the operator reads it: each message in its own
// character set (Charsets::choose), while the store is sifted by bytes.
namespace TextFind {

// [Text] of the options, as Charsets takes it.
Charsets::Setting settingOf(const Options &options);

// The request for `text` (the backward and fromRow fields left to the
// caller). An ASCII text is looked for as bytes, which every set that keeps
// ASCII holds as they are; one of Shift_JIS, GB18030 and the like is then
// decoded to be sure. Other texts sift by their longest ASCII run of three
// or more, else by the text (or, without Match case, one of its letters in
// either case) as each set likely to be met would write it, and every
// candidate is decoded and compared. A chosen set that does not keep ASCII
// (UTF-16, EBCDIC) decodes every message.
FindRequest requestFor(const QString &text, bool matchCase, const Charsets::Setting &setting);

} // namespace TextFind
