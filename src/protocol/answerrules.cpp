#include "answerrules.h"

#include <QStringTokenizer>

#include <algorithm>
#include <cctype>
#include <limits>

#include <optional>

// The reading of the rules file. Each line is read on its own; a line that
// cannot be read says why, and the lines around it still count.
namespace AnswerRules {
namespace {
using Problem = std::optional<QString>;

constexpr const char *Codes[] = {"AA", "AE", "AR", "CA", "CE", "CR"};
const QString CodeList = QStringLiteral("AA, AE, AR, CA, CE or CR");

// Text of the file in a reason, on one line: a control character (a NUL
// would cut the notice short) shows as <0xNN>.
QString quoted(QStringView text)
{
    QString shown = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("<0x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0')
                     + QLatin1Char('>');
        else
            shown += c;
    }
    return shown + QLatin1Char('"');
}

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t';
}

// The first word of `text`, and the rest after it, trimmed.
QStringView firstWord(QStringView text, QStringView *rest)
{
    qsizetype end = 0;
    while (end < text.size() && !isSpace(text[end]))
        ++end;
    *rest = text.sliced(end).trimmed();
    return text.first(end);
}

bool isCode(QStringView word)
{
    for (const char *code : Codes)
        if (word.compare(QLatin1String(code), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// A whole number from `lowest` to `highest`, digits only.
std::optional<qint64> numberIn(QStringView text, qint64 lowest, qint64 highest)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    const qint64 value = text.toLongLong();
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

// "->" with white space or the line's edge on both sides: an arrow inside a
// value ("a->b") does not part the rule.
qsizetype arrowIn(QStringView line)
{
    for (qsizetype at = line.indexOf(u"->"); at >= 0; at = line.indexOf(u"->", at + 1)) {
        const bool before = at == 0 || isSpace(line[at - 1]);
        const bool after = at + 2 == line.size() || isSpace(line[at + 2]);
        if (before && after)
            return at;
    }
    return -1;
}

// The conditions, parted at " and " in any case.
QList<QStringView> conditionsIn(QStringView text)
{
    static const QRegularExpression joint(QStringLiteral("[ \\t]+and[ \\t]+"),
                                          QRegularExpression::CaseInsensitiveOption);
    QList<QStringView> parts;
    qsizetype from = 0;
    QRegularExpressionMatchIterator it = joint.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        parts << text.sliced(from, match.capturedStart() - from).trimmed();
        from = match.capturedEnd();
    }
    parts << text.sliced(from).trimmed();
    return parts;
}

// The actions, parted at commas outside a quoted text.
QList<QStringView> actionsIn(QStringView text)
{
    QList<QStringView> parts;
    bool inQuotes = false;
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (inQuotes && text[i] == u'\\')
            ++i;
        else if (text[i] == u'"')
            inQuotes = !inQuotes;
        else if (!inQuotes && text[i] == u',') {
            parts << text.sliced(from, i - from).trimmed();
            from = i + 1;
        }
    }
    parts << text.sliced(from).trimmed();
    return parts;
}

// An expression that names only ASCII characters, with no special meaning
// but a leading ^, finds exactly these bytes: a byte is its own character
// whether the message decodes as UTF-8 or as Latin-1.
void findLiteral(QStringView pattern, Condition &condition)
{
    QByteArray bytes;
    const bool atStart = pattern.startsWith(u'^');
    for (qsizetype i = atStart ? 1 : 0; i < pattern.size(); ++i) {
        char16_t c = pattern[i].unicode();
        if (c == u'\\') {
            if (++i == pattern.size())
                return;
            c = pattern[i].unicode();
            // \d, \w, \Q, \1 and the like are not text.
            if (c >= 0x80 || !std::ispunct(int(c)))
                return;
        } else if (c >= 0x80 || c < 0x20 || QByteArrayView("^$.|?*+()[]{}").contains(char(c))) {
            return;
        }
        bytes += char(c);
    }
    if (bytes.isEmpty())
        return;
    condition.literal = bytes;
    condition.isLiteral = true;
    condition.literalAtStart = atStart;
}

Problem compile(QStringView pattern, Condition &condition)
{
    if (pattern.isEmpty())
        return QStringLiteral("no regular expression after ~");
    QRegularExpression &into = condition.pattern;
    into = QRegularExpression(pattern.toString());
    if (!into.isValid())
        return QStringLiteral("the regular expression %1 is invalid: %2").arg(quoted(pattern), into.errorString());
    into.optimize();
    findLiteral(pattern, condition);
    return std::nullopt;
}

Problem readFieldCondition(QStringView text, Condition &condition)
{
    const qsizetype close = text.indexOf(u'}');
    if (close < 0)
        return QStringLiteral("%1 has no closing brace").arg(quoted(text));
    const QStringView name = text.sliced(1, close - 1);
    const std::optional<Hl7Fields::Reference> reference = Hl7Fields::Reference::parse(name);
    if (!reference)
        return QStringLiteral("%1 names no field; fields are written like {PID-3.1} or {OBX-5(2).1}")
            .arg(quoted(text.first(close + 1)));
    condition.field = *reference;
    const QStringView rest = text.sliced(close + 1).trimmed();
    qsizetype length = 1;
    if (rest.startsWith(u"!=")) {
        condition.kind = Condition::Kind::FieldDiffers;
        length = 2;
    } else if (rest.startsWith(u'=')) {
        condition.kind = Condition::Kind::FieldEquals;
    } else if (rest.startsWith(u'~')) {
        condition.kind = Condition::Kind::FieldMatches;
    } else {
        return QStringLiteral("%1 is not followed by =, != or ~").arg(quoted(text.first(close + 1)));
    }
    const QStringView value = rest.sliced(length).trimmed();
    if (condition.kind == Condition::Kind::FieldMatches)
        return compile(value, condition);
    condition.value = value.toUtf8();
    const bool latin1 = std::all_of(value.begin(), value.end(), [](QChar c) { return c.unicode() <= 0xff; });
    if (latin1 && condition.value.size() != value.size())
        condition.latin1Value = value.toLatin1();
    return std::nullopt;
}

Problem readCondition(QStringView text, Condition &condition)
{
    if (text.isEmpty())
        return QStringLiteral("an empty condition");
    if (text.startsWith(u'{'))
        return readFieldCondition(text, condition);
    QStringView rest;
    const QString word = firstWord(text, &rest).toString().toLower();
    if (word == u"text") {
        condition.kind = Condition::Kind::TextMatches;
        if (!rest.startsWith(u'~'))
            return QStringLiteral("text is not followed by ~");
        return compile(rest.sliced(1).trimmed(), condition);
    }
    if (word == u"every") {
        condition.kind = Condition::Kind::Every;
        const std::optional<qint64> n = numberIn(rest, 1, std::numeric_limits<qint64>::max());
        if (!n)
            return QStringLiteral("every needs a whole number from 1, not %1").arg(quoted(rest));
        condition.every = quint64(*n);
        return std::nullopt;
    }
    if (word == u"share") {
        condition.kind = Condition::Kind::Share;
        static const QRegularExpression percent(QStringLiteral("^([0-9]{1,3}(?:\\.[0-9]+)?)[ \\t]*%$"));
        const QRegularExpressionMatch match = percent.match(rest);
        const double share = match.hasMatch() ? match.capturedView(1).toDouble() : -1;
        if (share < 0 || share > 100)
            return QStringLiteral("share needs a percentage from 0 to 100 like 12.5%, not %1").arg(quoted(rest));
        condition.share = share;
        return std::nullopt;
    }
    if (word == u"always") {
        condition.kind = Condition::Kind::Always;
        if (!rest.isEmpty())
            return QStringLiteral("always takes nothing after it");
        return std::nullopt;
    }
    return QStringLiteral("unknown condition %1").arg(quoted(text));
}

// The words between the quotes, \" and \\ undone.
Problem readText(QStringView rest, Actions &actions)
{
    if (!rest.startsWith(u'"'))
        return QStringLiteral("text needs its words in double quotes, like text \"Checked\"");
    QString text;
    qsizetype i = 1;
    for (; i < rest.size() && rest[i] != u'"'; ++i) {
        if (rest[i] == u'\\' && i + 1 < rest.size()) {
            const QChar next = rest[++i];
            if (next != u'"' && next != u'\\')
                return QStringLiteral("unknown escape %1 in the text; only \\\" and \\\\ are escapes")
                    .arg(quoted(QString(u'\\') + next));
        }
        text += rest[i];
    }
    if (i >= rest.size())
        return QStringLiteral("the text has no closing quote");
    if (!rest.sliced(i + 1).trimmed().isEmpty())
        return QStringLiteral("something follows the text's closing quote");
    actions.hasText = true;
    actions.text = text.toUtf8();
    return std::nullopt;
}

Problem readThen(QStringView rest, Actions &actions)
{
    QStringView after;
    const QStringView code = firstWord(rest, &after);
    if (!isCode(code))
        return QStringLiteral("then needs a code (%1), not %2").arg(CodeList, quoted(code));
    actions.thenCode = code.toLatin1().toUpper();
    if (after.isEmpty())
        return std::nullopt;
    QStringView ms;
    const QStringView word = firstWord(after, &ms);
    const std::optional<qint64> value = numberIn(ms, 0, LongestDelayMs);
    if (word.compare(u"after", Qt::CaseInsensitive) != 0 || !value)
        return QStringLiteral("then %1 takes only \"after\" and milliseconds from 0 to %2, not %3")
            .arg(QLatin1String(actions.thenCode)).arg(LongestDelayMs).arg(quoted(after));
    actions.thenAfterMs = int(*value);
    return std::nullopt;
}

// One action; `name` is set to how it is told in a contradiction.
Problem readAction(QStringView text, Actions &actions, QString &name)
{
    if (text.isEmpty())
        return QStringLiteral("an empty action");
    QStringView rest;
    const QStringView first = firstWord(text, &rest);
    name = first.toString().toLower();
    if (isCode(first) && rest.isEmpty()) {
        name = name.toUpper();
        if (!actions.code.isEmpty())
            return QStringLiteral("two codes, %1 and %2").arg(QLatin1String(actions.code), name);
        actions.code = name.toLatin1();
        return std::nullopt;
    }
    if (name == u"text")
        return readText(rest, actions);
    if (name == u"then")
        return readThen(rest, actions);
    if (name == u"delay" || name == u"pieces") {
        const bool delay = name == u"delay";
        const int lowest = delay ? 0 : FewestPieces;
        const int highest = delay ? LongestDelayMs : MostPieces;
        const std::optional<qint64> value = numberIn(rest, lowest, highest);
        if (!value)
            return QStringLiteral("%1 needs %2 from %3 to %4, not %5")
                .arg(name, delay ? QStringLiteral("milliseconds") : QStringLiteral("a number"))
                .arg(lowest).arg(highest).arg(quoted(rest));
        (delay ? actions.delayMs : actions.pieces) = int(*value);
        return std::nullopt;
    }
    bool *const flags[] = {&actions.never, &actions.close, &actions.reset, &actions.twice, &actions.wrongId};
    const char *const flagNames[] = {"never", "close", "reset", "twice", "wrong-id"};
    for (int i = 0; i < 5; ++i) {
        if (name != QLatin1String(flagNames[i]))
            continue;
        if (!rest.isEmpty())
            return QStringLiteral("%1 takes nothing after it").arg(name);
        *flags[i] = true;
        return std::nullopt;
    }
    return QStringLiteral("unknown action %1").arg(quoted(text));
}

Problem readActions(QStringView text, Actions &actions)
{
    QStringList names;
    for (const QStringView part : actionsIn(text)) {
        QString name;
        if (Problem problem = readAction(part, actions, name))
            return problem;
        if (names.contains(name))
            return QStringLiteral("%1 is given twice").arg(name);
        names << name;
    }
    // No answer leaves nothing to shape; a reset may only wait first.
    const auto alongside = [&](QLatin1String alone, QLatin1String allowed) -> Problem {
        if (names.contains(alone))
            for (const QString &other : std::as_const(names))
                if (other != alone && other != allowed)
                    return QStringLiteral("%1 cannot go with %2").arg(alone, other);
        return std::nullopt;
    };
    if (Problem problem = alongside(QLatin1String("never"), QLatin1String()))
        return problem;
    return alongside(QLatin1String("reset"), QLatin1String("delay"));
}

Problem readRule(QStringView line, Rule &rule)
{
    const qsizetype arrow = arrowIn(line);
    if (arrow < 0)
        return QStringLiteral("no \"->\" between the conditions and the actions");
    const QStringView conditions = line.first(arrow).trimmed();
    const QStringView actions = line.sliced(arrow + 2).trimmed();
    if (conditions.isEmpty())
        return QStringLiteral("no condition before \"->\"");
    if (actions.isEmpty())
        return QStringLiteral("no action after \"->\"");
    for (const QStringView text : conditionsIn(conditions)) {
        Condition condition;
        if (Problem problem = readCondition(text, condition))
            return problem;
        rule.conditions.push_back(std::move(condition));
    }
    return readActions(actions, rule.actions);
}
} // namespace

Reading read(QStringView fileText)
{
    Reading reading;
    int number = 0;
    for (QStringView line : QStringTokenizer(fileText, u'\n')) {
        ++number;
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (number == 1 && line.startsWith(QChar(0xfeff)))
            line = line.sliced(1);
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        Rule rule;
        rule.line = number;
        rule.text = line.toString();
        if (Problem problem = readRule(trimmed, rule))
            reading.problems << QStringLiteral("line %1: %2").arg(number).arg(*problem);
        else
            reading.rules.push_back(std::move(rule));
    }
    return reading;
}

} // namespace AnswerRules
