#pragma once

#include <QPalette>
#include <QString>

class MessageStore;

// The lines the viewer shows under its heading for one stored message: when
// it came (to the millisecond, and over how many arrivals), the connection
// it came on ("From: 127.0.0.1 port 40312"), what kind of
// bytes it is when it was not a block, the CR, LF and NUL bytes that came
// before or after it outside any block, how its answer was decided when a
// rule decided it or it was not answered as usual ("Answer: by rule at line
// 3, then the connection was closed"), and the answer sent for it and when,
// or that none was sent.
struct MessageDetails
{
    QString plain; // marks of control bytes as "<VT>", for copying and screen readers
    QString rich;  // the same, the marks drawn as the list draws them
};

// The marks take their colours from `palette`, as the list's do.
MessageDetails messageDetails(const MessageStore &store, qint64 index, const QPalette &palette);
