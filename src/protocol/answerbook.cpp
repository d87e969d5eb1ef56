#include "answerrules.h"
#include "hl7text.h"

#include <QList>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <optional>
#include <utility>

// The rules at work: which rule a message meets, and the answer it shapes.
namespace AnswerRules {
namespace {
using Hl7Text::endsSegment;

// splitmix64's finaliser: every bit of the input stirs every bit of the output.
quint64 mix(quint64 x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

bool isAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
}

bool isUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

// The bytes as UTF-8, or as Latin-1 when they are not UTF-8.
QString textOf(QByteArrayView bytes)
{
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString::fromLatin1(bytes) : text;
}

// The message's first TextMatchCap bytes, not cutting a UTF-8 character.
QByteArrayView headOf(QByteArrayView message)
{
    if (message.size() <= TextMatchCap)
        return message;
    qsizetype cut = TextMatchCap;
    for (int back = 0; back < 3 && (uchar(message[cut]) & 0xc0) == 0x80; ++back)
        --cut;
    return message.first(cut);
}

// One message as the conditions ask about it. A field several rules name
// is read once.
struct Asked
{
    Asked(QByteArrayView message, const std::vector<Hl7Fields::Reference> &references, quint64 number, quint64 seed)
        : message(message), fields(message), references(references), values(qsizetype(references.size())),
          known(qsizetype(references.size()), false), number(number), seed(seed)
    {
    }

    QByteArrayView value(int slot)
    {
        if (!known[slot]) {
            values[slot] = fields.value(references[std::size_t(slot)]);
            known[slot] = true;
        }
        return values[slot];
    }

    QByteArrayView message;
    Hl7Fields::Reader fields;
    const std::vector<Hl7Fields::Reference> &references;
    QVarLengthArray<QByteArrayView, 16> values;
    QVarLengthArray<bool, 16> known;
    quint64 number; // of the message, from 1
    quint64 seed;
    std::optional<QString> text; // the head of the message, once decoded
};

// `decoded` keeps the text between conditions that read the same bytes.
bool matches(const Condition &condition, QByteArrayView bytes, std::optional<QString> *decoded)
{
    if (condition.isLiteral)
        return condition.literalAtStart ? bytes.startsWith(condition.literal)
                                        : Hl7Text::find(bytes, condition.literal) >= 0;
    if (!decoded)
        return condition.pattern.match(textOf(bytes)).hasMatch();
    if (!*decoded)
        *decoded = textOf(bytes);
    return condition.pattern.match(**decoded).hasMatch();
}

bool equals(const Condition &condition, QByteArrayView value)
{
    if (value == condition.value)
        return true;
    return !condition.latin1Value.isEmpty() && value == condition.latin1Value && !isUtf8(value);
}

// `salt` tells the conditions apart, so that each draws its own share;
// `slot` is the field's among those the book's rules name.
bool holds(const Condition &condition, quint64 salt, int slot, Asked &asked)
{
    using Kind = Condition::Kind;
    switch (condition.kind) {
    case Kind::FieldEquals:
        return equals(condition, asked.value(slot));
    case Kind::FieldDiffers:
        return !equals(condition, asked.value(slot));
    case Kind::FieldMatches:
        return matches(condition, asked.value(slot), nullptr);
    case Kind::TextMatches:
        return matches(condition, headOf(asked.message), &asked.text);
    case Kind::Every:
        return condition.every > 0 && asked.number % condition.every == 0;
    case Kind::Share: {
        const quint64 draw = mix(mix(asked.seed ^ mix(salt)) ^ asked.number);
        return double(draw >> 11) * 0x1.0p-53 * 100.0 < condition.share;
    }
    case Kind::Always:
        return true;
    }
    return false;
}

// The answer's separators, as its MSH declares them.
AckFields::Encoding encodingOf(QByteArrayView answer)
{
    const AckFields::MshHeader header(answer, 2);
    if (header.fieldCount() < 1)
        return {};
    return AckFields::Encoding::ofAnswer(header.field(1)[0], header.field(2));
}

// Where the first MSA segment starts and ends; start -1 when there is none.
std::pair<qsizetype, qsizetype> msaIn(QByteArrayView answer, char field)
{
    qsizetype at = 0;
    while (at < answer.size()) {
        while (at < answer.size() && endsSegment(answer[at]))
            ++at;
        const qsizetype start = at;
        while (at < answer.size() && !endsSegment(answer[at]))
            ++at;
        const QByteArrayView segment = answer.sliced(start, at - start);
        if (segment.startsWith("MSA") && (segment.size() == 3 || segment[3] == field))
            return {start, at};
    }
    return {-1, -1};
}

QList<QByteArrayView> split(QByteArrayView text, char separator)
{
    QList<QByteArrayView> parts;
    qsizetype from = 0;
    for (qsizetype at = text.indexOf(separator); at >= 0; at = text.indexOf(separator, from)) {
        parts.append(text.sliced(from, at - from));
        from = at + 1;
    }
    parts.append(text.sliced(from));
    return parts;
}
} // namespace

Book::Book(std::vector<Rule> rules, quint64 seed) : m_rules(std::move(rules)), m_seed(seed)
{
    for (const Rule &rule : m_rules) {
        for (const Condition &condition : rule.conditions) {
            const bool field = condition.kind == Condition::Kind::FieldEquals
                               || condition.kind == Condition::Kind::FieldDiffers
                               || condition.kind == Condition::Kind::FieldMatches;
            if (!field) {
                m_slots.push_back(-1);
                continue;
            }
            const auto known = std::find(m_fields.begin(), m_fields.end(), condition.field);
            m_slots.push_back(int(known - m_fields.begin()));
            if (known == m_fields.end())
                m_fields.push_back(condition.field);
        }
    }
}

const Rule *Book::decide(QByteArrayView message)
{
    Asked asked(message, m_fields, ++m_count, m_seed);
    std::size_t k = 0;
    for (std::size_t r = 0; r < m_rules.size(); ++r) {
        const Rule &rule = m_rules[r];
        bool all = true;
        std::size_t c = 0;
        for (; all && c < rule.conditions.size(); ++c)
            all = holds(rule.conditions[c], quint64(r) << 20 | c, m_slots[k + c], asked);
        if (all)
            return &rule;
        k += rule.conditions.size();
    }
    return nullptr;
}

QByteArray applyToAnswer(QByteArrayView answer, const Actions &actions, QByteArrayView code)
{
    if (code.isEmpty() && !actions.hasText && !actions.wrongId)
        return answer.toByteArray();
    const AckFields::Encoding encoding = encodingOf(answer);
    auto [start, end] = msaIn(answer, encoding.field);
    QByteArray before;
    if (start < 0) {
        // No MSA: one is made before the end block, on a segment of its own.
        end = answer.size();
        if (answer.endsWith("\x1c\r"))
            end -= 2;
        else if (answer.endsWith("\x1c"))
            end -= 1;
        start = end;
        if (end > 0 && !endsSegment(answer[end - 1]))
            before = "\r";
    }
    const QByteArrayView msa = answer.sliced(start, end - start);
    QList<QByteArrayView> fields;
    if (msa.size() > 3)
        fields = split(msa.sliced(4), encoding.field);
    const qsizetype needed = actions.hasText ? 3 : actions.wrongId ? 2 : 1;
    while (fields.size() < needed)
        fields.append(QByteArrayView());

    QByteArray segment = before + "MSA";
    for (qsizetype i = 0; i < fields.size(); ++i) {
        segment += encoding.field;
        if (i == 0 && !code.isEmpty())
            AckFields::escapeData(segment, code, encoding);
        else if (i == 1 && actions.wrongId)
            segment += WrongIdPrefix + fields[i].toByteArray();
        else if (i == 2 && actions.hasText)
            AckFields::escapeData(segment, actions.text, encoding);
        else
            segment += fields[i];
    }
    if (msa.isEmpty())
        segment += '\r';
    QByteArray out;
    out.reserve(answer.size() + segment.size());
    out += answer.first(start);
    out += segment;
    out += answer.sliced(end);
    return out;
}

} // namespace AnswerRules
