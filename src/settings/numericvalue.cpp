#include "numericvalue.h"

#include <QLocale>
#include <QString>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

// More significant digits than a double can ever need to round correctly
// (767 for the worst case); beyond them only "was anything non-zero" matters.
constexpr qsizetype KeptDigits = 800;

// A written exponent is held here: far beyond the double range, and far
// beyond any text's length, so adding the digit shifts to it cannot overflow
// and cannot pull a held exponent back into range.
constexpr qint64 ExponentLimit = 1'000'000'000'000'000;

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

// The number at the start of a text, reduced to what a double needs: its
// significant digits (at most KeptDigits plus one sticky digit) and the power
// of ten that the last kept digit stands for.
struct DecimalNumber
{
    bool negative = false;
    std::string digits; // no leading zeros; empty for zero
    qint64 exponent = 0;
};

class DecimalScanner
{
public:
    explicit DecimalScanner(QStringView text) : m_text(text) {}

    DecimalNumber scan()
    {
        skipBlanks();
        readSign();
        readDigits(false);
        if (m_pos < m_text.size() && m_text[m_pos] == u'.') {
            ++m_pos;
            readDigits(true);
        }
        // Only a dot, or nothing at all: the text does not begin with a number.
        if (!m_sawDigit)
            return {};
        readExponent();
        m_number.exponent = m_shift + m_droppedScale + m_exponent;
        if (m_dropped) {
            // One digit below the kept ones keeps "slightly above" from
            // rounding as if it were "exactly".
            m_number.digits.push_back('1');
            --m_number.exponent;
        }
        return m_number;
    }

private:
    void skipBlanks()
    {
        while (m_pos < m_text.size() && isBlank(m_text[m_pos]))
            ++m_pos;
    }

    void readSign()
    {
        if (m_pos < m_text.size() && (m_text[m_pos] == u'+' || m_text[m_pos] == u'-')) {
            m_number.negative = m_text[m_pos] == u'-';
            ++m_pos;
        }
    }

    void readDigits(bool fraction)
    {
        for (; m_pos < m_text.size() && isDigit(m_text[m_pos]); ++m_pos) {
            m_sawDigit = true;
            const char digit = char(m_text[m_pos].unicode());
            if (fraction)
                --m_shift;
            if (m_number.digits.empty() && digit == '0')
                continue;
            if (qsizetype(m_number.digits.size()) < KeptDigits) {
                m_number.digits.push_back(digit);
            } else {
                // A dropped whole-number digit still scales the value by ten;
                // a dropped fraction digit takes back the step taken above.
                if (fraction)
                    ++m_shift;
                else
                    ++m_droppedScale;
                m_dropped = m_dropped || digit != '0';
            }
        }
    }

    // "E" or "e", an optional sign and digits; an "E" without digits adds
    // nothing, as if the number had ended before it.
    void readExponent()
    {
        if (m_pos >= m_text.size() || (m_text[m_pos] != u'e' && m_text[m_pos] != u'E'))
            return;
        ++m_pos;
        bool negative = false;
        if (m_pos < m_text.size() && (m_text[m_pos] == u'+' || m_text[m_pos] == u'-')) {
            negative = m_text[m_pos] == u'-';
            ++m_pos;
        }
        qint64 value = 0;
        for (; m_pos < m_text.size() && isDigit(m_text[m_pos]); ++m_pos)
            value = std::min(value * 10 + (m_text[m_pos].unicode() - u'0'), ExponentLimit);
        m_exponent = negative ? -value : value;
    }

    QStringView m_text;
    qsizetype m_pos = 0;
    DecimalNumber m_number;
    bool m_sawDigit = false;
    bool m_dropped = false;       // a non-zero digit fell beyond KeptDigits
    qint64 m_shift = 0;           // fraction digits read, less those dropped, negated
    qint64 m_droppedScale = 0;    // whole-number digits dropped
    qint64 m_exponent = 0;
};

double toDouble(const DecimalNumber &number)
{
    const double sign = number.negative ? -1.0 : 1.0;
    if (number.digits.empty())
        return sign * 0.0;
    // The magnitude is about 10^(digits + exponent); far outside the double
    // range the answer is known without parsing.
    const qint64 magnitude = qint64(number.digits.size()) + number.exponent;
    if (magnitude > 400)
        return sign * std::numeric_limits<double>::infinity();
    if (magnitude < -400)
        return sign * 0.0;
    const std::string text = number.digits + 'e' + std::to_string(number.exponent);
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return sign * value;
}

} // namespace

double numericValue(QStringView text)
{
    return toDouble(DecimalScanner(text).scan());
}

qint32 roundedToInt32(double value)
{
    constexpr double Highest = std::numeric_limits<qint32>::max();
    constexpr double Lowest = std::numeric_limits<qint32>::min();
    if (std::isnan(value))
        return 0;
    if (value >= Highest)
        return std::numeric_limits<qint32>::max();
    if (value <= Lowest)
        return std::numeric_limits<qint32>::min();
    // Inside the range floor and the difference are exact, so the tie test is too.
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return qint32(whole);
}

QString decimalText(double value)
{
    if (value == 0.0)
        return QStringLiteral("0"); // also for -0, which has no place in a port field
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < 1e15)
        return QString::number(qint64(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}
