#pragma once

#include <QString>

// The answer rules beside ackprobe.ini: only the file's text is read here;
// AnswerRules::read (protocol) makes rules of it.
inline constexpr char RulesFileName[] = "ackprobe-rules.txt";
// A longer file is refused rather than read into memory.
inline constexpr qint64 LargestRulesFile = 1024 * 1024;

struct RulesFileReading
{
    QString text;    // the file's text; empty when it could not be read
    QString problem; // why it could not be read, a sentence naming the file; empty when it could
    bool present = false; // something stands where the file should be
};

// Where ackprobe-rules.txt stands in `folder`.
QString rulesFilePath(const QString &folder);

// ackprobe-rules.txt in `folder`, as UTF-8. A missing file is no problem. A
// folder, a pipe or a device in its place, a file that cannot be opened, one
// over LargestRulesFile or one that is not UTF-8 is a problem, with its reason.
RulesFileReading readRulesFile(const QString &folder);
