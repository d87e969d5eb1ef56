#include "charsets.h"

#include "hl7fields.h"

#include <QHash>
#include <QMutex>
#include <QStringDecoder>
#include <QStringEncoder>

#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

namespace Charsets {
namespace {
// A name longer than this is no character set's: MSH-18 holding a whole
// segment is not looked up.
constexpr qsizetype LongestName = 64;
constexpr char16_t EscapeBase = 0xDC00;

// HL7 table 0211 (and the DICOM terms some senders use), keyed in capitals
// without spaces or underscores.
struct Named
{
    const char *key;
    const char *decoder;
};
constexpr Named TableNames[] = {
    {"ASCII", "US-ASCII"},
    {"8859/1", "ISO-8859-1"}, {"8859/2", "ISO-8859-2"}, {"8859/3", "ISO-8859-3"},
    {"8859/4", "ISO-8859-4"}, {"8859/5", "ISO-8859-5"}, {"8859/6", "ISO-8859-6"},
    {"8859/7", "ISO-8859-7"}, {"8859/8", "ISO-8859-8"}, {"8859/9", "ISO-8859-9"},
    {"8859/15", "ISO-8859-15"},
    // ICU has no JIS X 0201 of its own; Shift_JIS's single bytes are it.
    {"ISOIR14", "Shift_JIS"},
    // JIS X 0208 and JIS X 0212 come in ISO 2022 escapes: ICU's ISO-2022-JP
    // knows X 0208 and ISO-2022-JP-1 adds X 0212.
    {"ISOIR87", "ISO-2022-JP"},
    {"ISOIR159", "ISO-2022-JP-1"},
    {"GB18030-2000", "GB18030"},
    {"KSX1001", "EUC-KR"},
    {"CNS11643-1992", "EUC-TW"},
    {"BIG-5", "Big5"},
    {"UNICODE", "UTF-8"},
    {"UNICODEUTF-8", "UTF-8"},
    {"UNICODEUTF-16", "UTF-16"},
    {"UNICODEUTF-32", "UTF-32"},
    {"ISOIR6", "US-ASCII"},
    {"ISOIR100", "ISO-8859-1"},
    {"ISOIR192", "UTF-8"},
};

bool isPrintableAscii(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// The decoder's own spelling of a name it knows ("cp1252" is "windows-1252"),
// or empty. Asked once a name: opening a converter is not free.
QByteArray knownName(const QByteArray &name)
{
    static QMutex mutex;
    static QHash<QByteArray, QByteArray> known;
    const QMutexLocker lock(&mutex);
    if (const auto found = known.constFind(name); found != known.cend())
        return *found;
    QByteArray spelt;
    const QStringDecoder decoder(name.constData());
    // "Locale" follows the machine, not the message.
    if (decoder.isValid() && qstricmp(decoder.name(), "Locale") != 0)
        spelt = decoder.name() && *decoder.name() ? QByteArray(decoder.name()) : name;
    if (known.size() > 512)
        known.clear();
    known.insert(name, spelt);
    return spelt;
}

// ---- UTF-8, checked by hand: Qt tells only that a text went wrong, not where.

// The length of the sequence at `p`: 0 when it is no sequence, -1 when it
// is one cut by the end of the `left` bytes.
int utf8Length(const uchar *p, qsizetype left)
{
    const uchar c = p[0];
    if (c < 0x80)
        return 1;
    int n = 0;
    uchar lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    for (int i = 1; i < n; ++i) {
        if (i >= left)
            return -1;
        const uchar b = p[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            return 0;
    }
    return n;
}

// Where the first byte lies that is no part of a UTF-8 sequence (a cut one
// at the end counts as whole when `cutIsWhole`), or -1.
qsizetype firstNotUtf8(QByteArrayView bytes, qsizetype from, bool cutIsWhole)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype i = from;
    while (i < size) {
        // Eight ASCII bytes at a time: most of a message is ASCII.
        while (i + 8 <= size) {
            quint64 word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull)
                break;
            i += 8;
        }
        if (i >= size)
            break;
        const int n = utf8Length(p + i, size - i);
        if (n == 0 || (n < 0 && !cutIsWhole))
            return i;
        if (n < 0)
            return -1;
        i += n;
    }
    return -1;
}

void appendEscaped(QString &out, QByteArrayView bytes)
{
    for (const char b : bytes)
        out += QChar(char16_t(EscapeBase + uchar(b)));
}

QString decodeUtf8(QByteArrayView bytes)
{
    // fromUtf8() drops a byte order mark; it is three bytes of the message.
    const bool mark = bytes.startsWith("\xef\xbb\xbf");
    qsizetype start = mark ? 3 : 0;
    qsizetype bad = firstNotUtf8(bytes, start, false);
    if (bad < 0 && !mark)
        return QString::fromUtf8(bytes);
    QString out;
    out.reserve(bytes.size());
    if (mark)
        out += QChar(0xFEFF);
    for (; bad >= 0; bad = firstNotUtf8(bytes, start, false)) {
        out += QString::fromUtf8(bytes.sliced(start, bad - start));
        appendEscaped(out, bytes.sliced(bad, 1));
        start = bad + 1;
    }
    out += QString::fromUtf8(bytes.sliced(start));
    return out;
}

bool isLoneSurrogate(QStringView text, qsizetype i)
{
    const QChar c = text[i];
    if (c.isHighSurrogate())
        return i + 1 >= text.size() || !text[i + 1].isLowSurrogate();
    if (c.isLowSurrogate())
        return i == 0 || !text[i - 1].isHighSurrogate();
    return false;
}

bool hasLoneSurrogate(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i].isSurrogate() && isLoneSurrogate(text, i))
            return true;
    return false;
}

// What a set does with ASCII, learnt from its decoder once.
struct Traits
{
    enum class Kind { Latin1, Ascii, Utf8, Wide, Other } kind = Kind::Other;
    // Every ASCII byte alone is one character below 0x80, printable ones
    // themselves: ISO 2022, UTF-7, UTF-16 and EBCDIC are not.
    bool asciiCompatible = false;
    // And no sequence of more bytes holds an ASCII byte (Shift_JIS and
    // GB18030 do), so an ASCII text found among the bytes is in the text.
    bool asciiAlone = false;
    // Control bytes some IBM tables move (0x1A shows as U+001C): the
    // character decoded, and the byte it is put back to.
    QVarLengthArray<std::pair<char16_t, char16_t>, 4> moved;
    // What each ASCII byte alone decodes to, where asciiCompatible.
    std::array<char16_t, 128> ascii{};
};

Traits learn(const QByteArray &name)
{
    Traits traits;
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    const auto alone = [&](QByteArrayView bytes) {
        decoder.resetState();
        QString text = decoder(bytes);
        return decoder.hasError() ? QString() : text;
    };
    std::array<char16_t, 128> &ascii = traits.ascii;
    traits.asciiCompatible = true;
    for (int b = 0; b < 128 && traits.asciiCompatible; ++b) {
        const char byte = char(b);
        const QString text = alone(QByteArrayView(&byte, 1));
        ascii[size_t(b)] = text.size() == 1 ? text[0].unicode() : 0xFFFF;
        traits.asciiCompatible = ascii[size_t(b)] < 0x80 && (b < 0x20 || b == 0x7f || ascii[size_t(b)] == b);
        if (traits.asciiCompatible && ascii[size_t(b)] != b)
            traits.moved.append({ascii[size_t(b)], char16_t(b)});
    }
    std::array<bool, 128> taken{};
    for (const char16_t c : ascii)
        if (c < 0x80)
            traits.asciiCompatible = traits.asciiCompatible && !std::exchange(taken[c], true);
    if (!traits.asciiCompatible) {
        traits.moved.clear();
        return traits;
    }
    traits.asciiAlone = true;
    for (int lead = 0x80; lead < 0x100 && traits.asciiAlone; ++lead) {
        for (int b = 0; b < 128; ++b) {
            const char pair[2] = {char(lead), char(b)};
            decoder.resetState();
            const QString text = decoder(QByteArrayView(pair, 2));
            if (text.isEmpty() || text.back().unicode() != ascii[size_t(b)]) {
                traits.asciiAlone = false;
                break;
            }
        }
    }
    return traits;
}

const Traits &traitsOf(const QByteArray &name)
{
    static QMutex mutex;
    static QHash<QByteArray, std::shared_ptr<const Traits>> learnt;
    static const Traits latin1{Traits::Kind::Latin1, true, true, {}, {}};
    const QMutexLocker lock(&mutex);
    if (const auto found = learnt.constFind(name); found != learnt.cend())
        return **found;
    auto traits = std::make_shared<Traits>();
    const std::optional<QStringConverter::Encoding> builtIn = QStringConverter::encodingForName(name.constData());
    const QByteArray spelt = knownName(name);
    if (spelt.isEmpty() || builtIn == QStringConverter::Latin1)
        return latin1;
    if (builtIn == QStringConverter::Utf8)
        *traits = {Traits::Kind::Utf8, true, true, {}, {}};
    else if (builtIn)
        traits->kind = Traits::Kind::Wide;
    else
        *traits = learn(spelt);
    if (spelt == "US-ASCII")
        traits->kind = Traits::Kind::Ascii;
    learnt.insert(name, traits); // shared: a reference stays good in another thread
    return *traits;
}

void putBackMoved(QString &text, const Traits &traits)
{
    if (traits.moved.isEmpty())
        return;
    for (QChar &c : text) {
        if (c.unicode() >= 0x80)
            continue;
        for (const auto &[shown, byte] : traits.moved)
            if (c.unicode() == shown) {
                c = QChar(byte);
                break;
            }
    }
}

// The slow way, for a text that did not decode whole: a fresh decoder is fed
// a byte at a time, and what comes out is matched to the bytes that went in.
// A replacement it makes (U+FFFD, U+001A, a lone surrogate) is genuine only
// when the set encodes it back to the very bytes; else those bytes are
// escaped. Where the set has states (ISO 2022), all bytes of such an output
// are escaped, since the lengths of its characters cannot be told.
QString walk(QByteArrayView bytes, const QByteArray &name, const Traits &traits)
{
    const bool wide = traits.kind == Traits::Kind::Wide;
    QStringDecoder decoder(name.constData(), wide ? QStringConverter::Flag::Default
                                                  : QStringConverter::Flag::ConvertInitialBom);
    QStringEncoder encoder(name.constData(), QStringConverter::Flag::Stateless);
    const auto encoded = [&](QStringView text) { return text.isEmpty() ? QByteArray() : encoder.encode(text); };
    const auto suspect = [](QStringView text, qsizetype i) {
        return text[i].unicode() == 0xFFFD || text[i].unicode() == 0x1A || isLoneSurrogate(text, i);
    };
    QString out;
    out.reserve(bytes.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        // Between characters, ASCII is itself in a set that keeps it: only
        // the rest is fed a byte at a time.
        if (traits.asciiCompatible && i == start && uchar(bytes[i]) < 0x80) {
            for (; i < bytes.size() && uchar(bytes[i]) < 0x80; ++i)
                out += QChar(traits.ascii[uchar(bytes[i])]);
            start = i--;
            continue;
        }
        const QString got = decoder(bytes.sliced(i, 1));
        if (got.isEmpty())
            continue;
        const QByteArrayView in = bytes.sliced(start, i + 1 - start);
        start = i + 1;
        qsizetype first = -1, last = -1;
        for (qsizetype k = 0; k < got.size(); ++k)
            if (suspect(got, k)) {
                first = first < 0 ? k : first;
                last = k;
            }
        if (!traits.asciiCompatible) {
            if (first < 0)
                out += got;
            else
                appendEscaped(out, in);
            continue;
        }
        if (first < 0) {
            // Bytes the decoder passed over without a word come before.
            const qsizetype used = encoded(got).size();
            if (used < in.size())
                appendEscaped(out, in.first(in.size() - used));
            out += got;
            continue;
        }
        const QStringView lead = QStringView(got).first(first), trail = QStringView(got).sliced(last + 1);
        const qsizetype leadBytes = encoded(lead).size(), trailBytes = encoded(trail).size();
        if (leadBytes + trailBytes >= in.size()) {
            appendEscaped(out, in);
            continue;
        }
        const QByteArrayView middle = in.sliced(leadBytes, in.size() - leadBytes - trailBytes);
        const QStringView replaced = QStringView(got).sliced(first, last + 1 - first);
        out += lead;
        if (!hasLoneSurrogate(replaced) && encoded(replaced) == middle)
            out += replaced;
        else
            appendEscaped(out, middle);
        out += trail;
    }
    appendEscaped(out, bytes.sliced(start)); // a sequence cut by the end
    return out;
}
} // namespace

QByteArray decoderNameFor(QByteArrayView msh18)
{
    const qsizetype tilde = msh18.indexOf('~');
    const QByteArrayView name = (tilde >= 0 ? msh18.first(tilde) : msh18).trimmed();
    if (name.isEmpty() || name.size() > LongestName || !isPrintableAscii(name))
        return {};
    QByteArray key;
    for (const char c : name)
        if (c != ' ' && c != '_')
            key += (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    for (const Named &named : TableNames)
        if (key == named.key)
            return named.decoder;
    return knownName(name.toByteArray());
}

QList<QByteArray> msh18Sets()
{
    QList<QByteArray> sets;
    for (const Named &named : TableNames)
        if (!sets.contains(named.decoder))
            sets << named.decoder;
    return sets;
}

QString Choice::describe() const
{
    const QString set = QString::fromLatin1(name);
    const QString quoted = QString::fromLatin1(msh18);
    QString text;
    switch (why) {
    case Why::Msh18:
        return QStringLiteral("%1, from MSH-18 '%2'").arg(set, quoted);
    case Why::AutomaticUtf8:
        text = QStringLiteral("%1, automatic").arg(set);
        break;
    case Why::AutomaticNotUtf8:
        text = QStringLiteral("%1, automatic: not valid UTF-8").arg(set);
        break;
    case Why::Chosen:
        text = QStringLiteral("%1, chosen").arg(set);
        break;
    }
    if (!msh18.isEmpty())
        text += QStringLiteral(" (MSH-18 '%1' is not known)").arg(quoted);
    return text;
}

Choice choose(QByteArrayView bytes, const Setting &setting)
{
    Choice choice;
    if (setting.useMsh18) {
        Hl7Fields::Reader reader(bytes);
        Hl7Fields::Reference msh18;
        msh18.segment = QByteArrayLiteral("MSH");
        msh18.field = 18;
        const QByteArrayView field = reader.value(msh18);
        msh18.repetition = 1;
        const QByteArrayView first = reader.value(msh18).trimmed();
        if (!first.isEmpty()) {
            choice.msh18 = field.first(std::min(field.size(), LongestName)).toByteArray();
            choice.name = decoderNameFor(first);
            if (!choice.name.isEmpty()) {
                choice.why = Choice::Why::Msh18;
                return choice;
            }
        }
    }
    const QString &chosen = setting.characterSet;
    if (chosen.compare(QLatin1String("Automatic"), Qt::CaseInsensitive) != 0) {
        const QByteArray name = chosen.toLatin1();
        choice.name = isPrintableAscii(name) ? knownName(name) : QByteArray();
        if (!choice.name.isEmpty()) {
            choice.why = Choice::Why::Chosen;
            return choice;
        }
    }
    const bool utf8 = firstNotUtf8(bytes, 0, true) < 0;
    choice.name = utf8 ? QByteArrayLiteral("UTF-8") : QByteArrayLiteral("ISO-8859-1");
    choice.why = utf8 ? Choice::Why::AutomaticUtf8 : Choice::Why::AutomaticNotUtf8;
    return choice;
}

QString decode(QByteArrayView bytes, const QByteArray &name)
{
    const Traits &traits = traitsOf(name);
    switch (traits.kind) {
    case Traits::Kind::Latin1:
        return QString::fromLatin1(bytes);
    case Traits::Kind::Ascii: {
        QString text = QString::fromLatin1(bytes);
        for (QChar &c : text)
            if (c.unicode() >= 0x80)
                c = QChar(char16_t(EscapeBase + c.unicode()));
        return text;
    }
    case Traits::Kind::Utf8:
        return decodeUtf8(bytes);
    case Traits::Kind::Wide:
    case Traits::Kind::Other:
        break;
    }
    // Once at full speed; only a text that went wrong is walked.
    QStringDecoder decoder(name.constData(), traits.kind == Traits::Kind::Wide
                                                 ? QStringConverter::Flag::Stateless
                                                 : QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder(bytes);
    if (decoder.hasError() || hasLoneSurrogate(text))
        text = walk(bytes, name, traits);
    putBackMoved(text, traits);
    return text;
}

int escapedByte(QStringView text, qsizetype i)
{
    if (i < 0 || i >= text.size())
        return -1;
    const char16_t c = text[i].unicode();
    if (c < EscapeBase || c > EscapeBase + 0xFF || (i > 0 && text[i - 1].isHighSurrogate()))
        return -1;
    return c - EscapeBase;
}

QStringList choosable()
{
    // Qt 6.4 has no list of its decoder's sets; ICU, its decoder, does.
    static const QStringList names = [] {
        QStringList found;
        const int32_t count = ucnv_countAvailable();
        for (int32_t i = 0; i < count; ++i) {
            const char *canonical = ucnv_getAvailableName(i);
            const char *shown = nullptr;
            // The names people know first; ICU's own last.
            for (const char *standard : {"MIME", "IANA", "WINDOWS", "JAVA"}) {
                UErrorCode error = U_ZERO_ERROR;
                shown = ucnv_getStandardName(canonical, standard, &error);
                if (U_SUCCESS(error) && shown && *shown)
                    break;
                shown = nullptr;
            }
            const QByteArray name = knownName(shown ? shown : canonical);
            // "ibm-1047_P100-1995,swaplfnl": a variant of a table for
            // mainframes, and a comma a settings file would split.
            if (!name.isEmpty() && !name.contains(','))
                found << QString::fromLatin1(name);
        }
        found.sort(Qt::CaseInsensitive);
        found.removeDuplicates();
        found.prepend(QStringLiteral("Automatic"));
        return found;
    }();
    return names;
}

bool isKnown(const QString &name)
{
    if (name.compare(QLatin1String("Automatic"), Qt::CaseInsensitive) == 0)
        return true;
    const QByteArray bytes = name.toLatin1();
    return !name.isEmpty() && isPrintableAscii(bytes) && !knownName(bytes).isEmpty();
}

bool asciiStandsAlone(const QByteArray &name)
{
    return traitsOf(name).asciiAlone;
}

bool isAsciiCompatible(const QByteArray &name)
{
    return traitsOf(name).asciiCompatible;
}

} // namespace Charsets
