#pragma once

#include "hl7fields.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// Answers by rule: each line of the rules file reads
//   CONDITION [and CONDITION]... -> ACTION[, ACTION]...
// and the first rule whose conditions all hold shapes a message's answer;
// when none holds, the configured answer goes as it is. Plain data in and
// out: the engine does the waiting, the writing and the closing.
namespace AnswerRules {

inline constexpr int LongestDelayMs = 600000;
inline constexpr int FewestPieces = 2;
inline constexpr int MostPieces = 100;
// `text ~` reads no further, so that a huge message cannot stall answers.
inline constexpr qsizetype TextMatchCap = 64 * 1024;
// wrong-id puts this before MSA-2: the answer then names another message.
inline constexpr char WrongIdPrefix[] = "X";

struct Actions
{
    QByteArray code; // MSA-1: AA, AE, AR, CA, CE or CR; empty: as configured
    bool hasText = false;
    QByteArray text; // MSA-3, as UTF-8, not yet escaped
    int delayMs = -1; // -1: as configured
    bool never = false;   // no answer at all
    bool close = false;   // close the connection after the answer
    bool reset = false;   // reset the connection instead of answering
    bool twice = false;   // the answer goes twice
    bool wrongId = false; // MSA-2 prefixed with WrongIdPrefix
    int pieces = 1;       // written in this many parts, 50 ms apart
    QByteArray thenCode;  // a second answer with this code; empty: none
    int thenAfterMs = 0;  // the second answer this long after the first

    bool operator==(const Actions &) const = default;
};

struct Condition
{
    enum class Kind : quint8 { FieldEquals, FieldDiffers, FieldMatches, TextMatches, Every, Share, Always };
    Kind kind = Kind::Always;
    Hl7Fields::Reference field;
    // = and !=: the value as UTF-8, and as Latin-1 where that differs (for a
    // message that is not UTF-8); the latter empty when it cannot or need not.
    QByteArray value;
    QByteArray latin1Value;
    QRegularExpression pattern; // ~, compiled once
    // ~ with an expression that is plain ASCII text, perhaps after ^: the
    // bytes it finds, so that a byte search answers without decoding.
    QByteArray literal;
    bool isLiteral = false;
    bool literalAtStart = false;
    quint64 every = 0;          // every N: the Nth, 2Nth, ... message
    double share = 0;           // share P%: 0 to 100
};

struct Rule
{
    int line = 0; // from 1
    QString text; // the line as written
    std::vector<Condition> conditions;
    Actions actions;
};

struct Reading
{
    std::vector<Rule> rules;
    QStringList problems; // "line N: reason", in the order of the lines
};

// The rules file's text. A line that cannot be read is told and left out;
// the others are read all the same.
Reading read(QStringView fileText);

// The rules of one run. Counts the messages it is asked about; the shares
// are drawn from `seed` and each message's number alone, so the same seed
// and the same messages give the same decisions.
class Book
{
public:
    Book() = default;
    Book(std::vector<Rule> rules, quint64 seed);

    // Counts the message; the first rule that holds for it, or null.
    const Rule *decide(QByteArrayView message);

    const std::vector<Rule> &rules() const { return m_rules; }
    quint64 seed() const { return m_seed; }
    quint64 messagesSeen() const { return m_count; }

private:
    std::vector<Rule> m_rules;
    // Each field the conditions name, once; and for each condition in
    // order, its field's index there (-1: it names none).
    std::vector<Hl7Fields::Reference> m_fields;
    std::vector<int> m_slots;
    quint64 m_seed = 0;
    quint64 m_count = 0;
};

// `answer` (an MLLP frame: VT MSH... CR MSA... CR FS CR) with MSA-1 set to
// `code` when it is not empty, MSA-3 to the actions' text when they have one
// and MSA-2 prefixed with WrongIdPrefix for wrong-id; the fields it lacks are
// added, and an answer without MSA gets one before its end block. Values are
// escaped in the answer's own separators; every other byte stays.
// The second answer of `then` is applyToAnswer(answer, actions, actions.thenCode).
QByteArray applyToAnswer(QByteArrayView answer, const Actions &actions, QByteArrayView code);

} // namespace AnswerRules
