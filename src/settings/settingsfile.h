#pragma once

#include "settingsrecord.h"

#include <QByteArray>

// The settings file format. Writing is strict: 29 lines ended by CR LF, a
// key line and a value line for each setting with an empty line between.
// Reading is loose: the file is a sequence of items, an item ends at a comma
// or a line end, leading blanks are skipped, an empty line is one empty item,
// an item that begins with a double quote runs to the next one. An item equal
// to one of the twelve keys (letter case counts) takes the next item as its
// value, the later value winning; every other item is ignored.

namespace SettingsKeys {
inline constexpr char RemoteIP[] = "[RemoteIP]";
inline constexpr char Port[] = "[Port]";
inline constexpr char AutoStart[] = "[AutoStart]";
inline constexpr char ExitWarning[] = "[ExitWarning]";
inline constexpr char MshBeforeDate[] = "[MSH before date]";
inline constexpr char MshAfterDate[] = "[MSH after date]";
inline constexpr char AckBeforeDate[] = "[ACK before date]"; // older name, read only
inline constexpr char AckAfterDate[] = "[ACK after date]";   // older name, read only
inline constexpr char MSASegment[] = "[MSA Segment]";
inline constexpr char InterfaceName[] = "[Interface Name]";
inline constexpr char ShowTransactionCount[] = "[Show Transaction Count]";
inline constexpr char LogfileLocation[] = "[Logfile Location]";
} // namespace SettingsKeys

struct SettingsReadResult
{
    SettingsRecord record; // the values read so far, on top of the starting record
    bool ok = true;        // false when a key is the file's last item
};

// Reads the file's bytes on top of `start`: settings the file does not name
// keep their value from `start`.
SettingsReadResult readSettings(const QByteArray &fileBytes, const SettingsRecord &start);

// The whole file for these values, 29 CR LF lines.
QByteArray writeSettings(const SettingsRecord &values);

// Puts the default in place of every empty text setting and of a show-count
// number that is neither 1 nor 0. Returns true when at least one default was
// put in place. Any other text stays as it was.
bool fillBlankSettings(SettingsRecord &record);
