#pragma once

#include <QByteArray>

class MessageStore;

// One line a message for --verbose, from what the store holds of it:
//   its number (from 1), its control ID (MSH-10; "-" when it has none), the
//   rule line that decided its answer ("rule 3"; "-" when none did) and the
//   answer's code (MSA-1 of the answer sent; "none" when none went, "reset"
//   when the connection was reset instead; "-" when the answer has no MSA-1).
//   12 MSG00012 rule 3 AE
//   13 MSG00013 - AA
// The line ends in LF; a byte of the control ID that would part a line or a
// word shows as '?'.
QByteArray messageLine(const MessageStore &store, qint64 index);

// The message has all it will have: an answer, or none to come. `waiting`:
// answers still wait for their delay, so one may yet come.
bool messageSettled(const MessageStore &store, qint64 index, bool waiting);
