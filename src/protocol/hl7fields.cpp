#include "hl7fields.h"
#include "hl7text.h"

#include <QRegularExpression>

#include <algorithm>

namespace Hl7Fields {
namespace {
using Hl7Text::endsSegment;
using Hl7Text::nth;
using Hl7Text::separatorsOfHeader;

bool isHeader(QByteArrayView segment)
{
    return segment.size() >= 4 && isHeaderName(segment.first(3));
}

quint32 keyOf(QByteArrayView name)
{
    return quint32(uchar(name[0])) << 16 | quint32(uchar(name[1])) << 8 | uchar(name[2]);
}
} // namespace

bool isHeaderName(QByteArrayView name)
{
    return name == "MSH" || name == "FHS" || name == "BHS";
}

std::optional<Reference> Reference::parse(QStringView text)
{
    static const QRegularExpression form(
        QStringLiteral("^([A-Z][A-Z0-9]{2})-([0-9]{1,3})(?:\\(([0-9]{1,3})\\))?(?:\\.([0-9]{1,3})(?:\\.([0-9]{1,3}))?)?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    Reference reference;
    reference.segment = match.capturedView(1).toLatin1();
    int *const numbers[] = {&reference.field, &reference.repetition, &reference.component,
                            &reference.subcomponent};
    for (int i = 0; i < 4; ++i) {
        const QStringView digits = match.capturedView(i + 2);
        if (digits.isEmpty())
            continue;
        *numbers[i] = digits.toInt();
        if (*numbers[i] < 1)
            return std::nullopt;
    }
    return reference;
}

QString Reference::name() const
{
    QString text = QString::fromLatin1(segment) + QLatin1Char('-') + QString::number(field);
    if (repetition > 0)
        text += QLatin1Char('(') + QString::number(repetition) + QLatin1Char(')');
    if (component > 0)
        text += QLatin1Char('.') + QString::number(component);
    if (subcomponent > 0)
        text += QLatin1Char('.') + QString::number(subcomponent);
    return text;
}

const Separators &Reader::separators()
{
    if (!m_haveSeparators) {
        m_haveSeparators = true;
        qsizetype at = 0;
        for (QByteArrayView s = nextSegment(at); !s.isNull(); s = nextSegment(at))
            if (isHeader(s)) {
                m_separators = separatorsOfHeader(s);
                break;
            }
    }
    return m_separators;
}

QByteArrayView Reader::nextSegment(qsizetype &at)
{
    const qsizetype size = m_message.size();
    while (at < size && endsSegment(m_message[at]))
        ++at;
    if (at >= size)
        return {};
    const qsizetype start = at;
    at = m_ends.from(at);
    return m_message.sliced(start, at - start);
}

QByteArrayView Reader::firstNamed(QByteArrayView name)
{
    const quint32 key = keyOf(name);
    const auto known = [this](quint32 k) {
        return std::find_if(m_firsts.cbegin(), m_firsts.cend(), [k](const First &f) { return f.key == k; });
    };
    if (const auto first = known(key); first != m_firsts.cend())
        return first->segment;
    const char field = separators().field;
    for (QByteArrayView s = nextSegment(m_walked); !s.isNull(); s = nextSegment(m_walked)) {
        // A header's fourth byte is its separator, whatever it is.
        if (s.size() < 3 || (s.size() > 3 && s[3] != field && !isHeaderName(s.first(3))))
            continue;
        const quint32 k = keyOf(s);
        if (known(k) != m_firsts.cend())
            continue;
        m_firsts.append({k, s});
        if (k == key)
            return s;
    }
    return {};
}

Reader::Found &Reader::segment(QByteArrayView name)
{
    const quint32 key = keyOf(name);
    for (Found &found : m_found)
        if (found.key == key)
            return found;
    Found &found = m_found.emplace_back();
    found.key = key;
    found.header = isHeaderName(name);
    found.segment = firstNamed(name);
    if (found.segment.size() < 4) {
        found.next = -1;
        return found;
    }
    found.separators = found.header ? separatorsOfHeader(found.segment) : separators();
    found.next = 4;
    if (found.header) // MSH-1 is the separator itself
        found.fields.append(found.segment.sliced(3, 1));
    return found;
}

QByteArrayView Reader::fieldOf(Found &found, int n)
{
    const char separator = found.separators.field;
    while (found.fields.size() < n && found.next >= 0) {
        const QByteArrayView rest = found.segment.sliced(found.next);
        const qsizetype end = rest.indexOf(separator);
        found.fields.append(rest.first(end < 0 ? rest.size() : end));
        found.next = end < 0 ? -1 : found.next + end + 1;
    }
    return n <= found.fields.size() ? found.fields[n - 1] : QByteArrayView();
}

QByteArrayView Reader::value(const Reference &reference)
{
    if (reference.segment.size() != 3 || reference.field < 1)
        return {};
    Found &found = segment(reference.segment);
    QByteArrayView value = fieldOf(found, reference.field);
    // A header's separator and encoding characters are one value each.
    if (found.header && reference.field <= 2)
        return qMax(reference.repetition, qMax(reference.component, reference.subcomponent)) > 1
                   ? QByteArrayView() : value;
    const Separators &own = found.separators;
    if (reference.repetition > 0 || reference.component > 0)
        value = nth(value, own.repetition, qMax(reference.repetition, 1) - 1);
    if (reference.component > 0)
        value = nth(value, own.component, reference.component - 1);
    if (reference.subcomponent > 0)
        value = nth(value, own.subcomponent, reference.subcomponent - 1);
    return value;
}

} // namespace Hl7Fields
