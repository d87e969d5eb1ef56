#include "textfind.h"

#include <QStringEncoder>

#include <algorithm>

namespace TextFind {
namespace {
// Where a text may be written besides the sets of HL7's own names: the
// usual ones, and those senders often name in MSH-18 instead. A text with
// no ASCII run to sift by is missed in a message whose MSH-18 names a set
// beyond these (and beyond the chosen one).
const char *const UsualSets[] = {"UTF-8", "ISO-8859-1", "windows-1252", "windows-1250", "windows-1251",
                                 "windows-1253", "windows-1254", "windows-1255", "windows-1256",
                                 "windows-1257", "windows-1258", "KOI8-R", "KOI8-U", "EUC-JP", "GBK"};

bool isAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// The longest run of ASCII characters in `text`.
QStringView longestAsciiRun(QStringView text)
{
    QStringView longest;
    for (qsizetype i = 0; i < text.size();) {
        qsizetype j = i;
        while (j < text.size() && text[j].unicode() < 0x80)
            ++j;
        if (j - i > longest.size())
            longest = text.sliced(i, j - i);
        i = j + 1;
    }
    return longest;
}

// The longest part of `bytes` between ISO 2022 escapes (ESC, intermediate
// bytes, a final byte): a message holding the text may switch sets
// elsewhere than the text encoded alone does.
QByteArray longestUnescaped(const QByteArray &bytes)
{
    QByteArray longest;
    qsizetype start = 0;
    const auto take = [&](qsizetype end) {
        if (end - start > longest.size())
            longest = bytes.sliced(start, end - start);
    };
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\x1b')
            continue;
        take(i);
        qsizetype j = i + 1;
        while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x2f)
            ++j;
        i = std::min(j, bytes.size() - 1);
        start = i + 1;
    }
    take(bytes.size());
    return longest;
}

// The sets to write the needle in: the usual ones, the chosen one and those
// MSH-18 may name, each that keeps ASCII once.
QList<QByteArray> likelySets(const QByteArray &chosen)
{
    QList<QByteArray> sets;
    for (const char *set : UsualSets)
        sets << set;
    if (!chosen.isEmpty())
        sets << chosen;
    sets << Charsets::msh18Sets();
    QList<QByteArray> kept;
    for (const QByteArray &set : sets)
        if (!kept.contains(set) && Charsets::isAsciiCompatible(set))
            kept << set;
    return kept;
}

QList<SiftText> writtenIn(const QList<QByteArray> &sets, const QStringList &variants)
{
    QList<SiftText> texts;
    for (const QByteArray &set : sets) {
        for (const QString &variant : variants) {
            QStringEncoder encoder(set.constData(), QStringConverter::Flag::Stateless);
            const QByteArray bytes = longestUnescaped(encoder.encode(variant));
            if (encoder.hasError() || bytes.isEmpty())
                continue;
            if (std::none_of(texts.begin(), texts.end(), [&](const SiftText &t) { return t.bytes == bytes; }))
                texts << SiftText{bytes, true};
        }
    }
    return texts;
}
} // namespace

Charsets::Setting settingOf(const Options &options)
{
    return Charsets::Setting{options.characterSet, options.useMsh18};
}

FindRequest requestFor(const QString &text, bool matchCase, const Charsets::Setting &setting)
{
    FindRequest request;
    request.matchCase = matchCase;
    if (text.isEmpty())
        return request;
    const Qt::CaseSensitivity cs = matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const auto holds = [text, cs, setting](QByteArrayView message) {
        return Charsets::decode(message, Charsets::choose(message, setting).name).contains(text, cs);
    };
    const bool automatic = setting.characterSet.compare(QLatin1String("Automatic"), Qt::CaseInsensitive) == 0;
    const QByteArray chosen = automatic ? QByteArray() : Charsets::decoderNameFor(setting.characterSet.toLatin1());
    if (!chosen.isEmpty() && !Charsets::isAsciiCompatible(chosen)) {
        request.confirm = holds; // the bytes tell nothing here
        return request;
    }
    if (isAscii(text)) {
        request.text = text.toLatin1();
        request.confirm = [holds, setting](QByteArrayView message) {
            return Charsets::asciiStandsAlone(Charsets::choose(message, setting).name) || holds(message);
        };
        return request;
    }
    request.confirm = holds;
    if (const QStringView run = longestAsciiRun(text); run.size() >= 3) {
        request.text = run.toLatin1();
        return request;
    }
    QStringList variants;
    if (matchCase) {
        variants << text;
    } else {
        // Any text that matches holds this letter, in one case or another.
        const auto letter = std::find_if(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x80; });
        const QString one = letter->isHighSurrogate() && letter + 1 != text.end() ? QString(letter, 2)
                                                                                  : QString(*letter);
        const QString title = one.size() == 1 ? QString(one[0].toTitleCase()) : one;
        for (const QString &variant : {one, one.toLower(), one.toUpper(), title, one.toCaseFolded()})
            if (!variants.contains(variant))
                variants << variant;
    }
    // None at all (a text no set writes): every message is decoded.
    request.alsoTexts = writtenIn(likelySets(chosen), variants);
    return request;
}

} // namespace TextFind
