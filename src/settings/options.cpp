#include "options.h"

#include "system/unixfile.h"

#include <QDir>
#include <QStringDecoder>
#include <QFile>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
const QString WholeKey = QStringLiteral("Receive/WholeMllpMessages");
const QString ModeKey = QStringLiteral("Answer/Mode");
const QString DelayKey = QStringLiteral("Answer/DelayMs");
const QString ColumnsKey = QStringLiteral("List/Columns");
const QString SendersKey = QStringLiteral("Receive/Senders");
const QString MaxSendersKey = QStringLiteral("Receive/MaxSenders");
const QString IdleKey = QStringLiteral("Receive/IdleTimeoutS");
const QString CertificateKey = QStringLiteral("TLS/Certificate");
const QString KeyKey = QStringLiteral("TLS/Key");
const QString ClientCAsKey = QStringLiteral("TLS/ClientCAs");
const QString CharacterSetKey = QStringLiteral("Text/CharacterSet");
const QString UseMsh18Key = QStringLiteral("Text/UseMsh18");
const QString Automatic = QStringLiteral("Automatic");

constexpr const char *ModeNames[] = {"AtOnce", "Delayed", "Never"};
constexpr const char *SendersNames[] = {"One", "Several"};

// [Group] Key as the operator sees it in the file.
QString shown(const QString &key)
{
    const qsizetype slash = key.indexOf(QLatin1Char('/'));
    return QStringLiteral("[%1] %2").arg(key.left(slash), key.mid(slash + 1));
}

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// A value as the operator can see it on one line: a control character (a
// NUL would cut the notice short, a line end split it) as <0xNN>.
QString visible(const QString &value)
{
    QString shown;
    shown.reserve(value.size());
    for (const QChar c : value) {
        if (isControl(c))
            shown += QStringLiteral("<0x%1>").arg(QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0'));
        else
            shown += c;
    }
    return shown;
}

QString problem(const QString &key, const QString &value, const QString &expected,
                const QString &used)
{
    return QStringLiteral("%1 \"%2\" is not %3; %4 is used.").arg(shown(key), visible(value), expected, used);
}

QString unreadable(const QString &path, const QString &reason)
{
    return QStringLiteral("%1 could not be read (%2); the defaults are used.").arg(path, reason);
}

// A value as its text; a list the file wrote with commas joins them again.
QString textOf(const QVariant &value)
{
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                    : value.toString();
}

// Known names in any case, spelt as the list spells them, each once; the
// unknown ones are told and left out.
void readColumns(const QString &text, OptionsReading &reading)
{
    const QStringList &names = optionalListColumns();
    QStringList unknown;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = part.trimmed();
        if (name.isEmpty())
            continue;
        const auto known = std::find_if(names.begin(), names.end(), [&](const QString &column) {
            return column.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (known == names.end())
            unknown << name;
        else if (!reading.options.listColumns.contains(*known))
            reading.options.listColumns << *known;
    }
    if (!unknown.isEmpty())
        reading.problems << QStringLiteral("%1 \"%2\" names no column of %3; it is left out.")
                                .arg(shown(ColumnsKey), visible(unknown.join(QLatin1Char(','))),
                                     names.join(QLatin1Char(',')));
}

// One of `names` in any case; anything else is told and the default kept.
template <typename Enum, std::size_t N>
void readName(const QSettings &settings, const QString &key, const char *const (&names)[N], Enum &into,
              OptionsReading &reading)
{
    if (!settings.contains(key))
        return;
    const QString text = textOf(settings.value(key)).trimmed();
    for (std::size_t i = 0; i < N; ++i) {
        if (text.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0) {
            into = Enum(i);
            return;
        }
    }
    QStringList spelt;
    for (const char *name : names)
        spelt << QLatin1String(name);
    const QString expected = spelt.size() > 2 ? spelt.mid(0, spelt.size() - 1).join(QLatin1String(", ")) + QLatin1String(" or ") + spelt.last()
                                              : spelt.join(QLatin1String(" or "));
    reading.problems << problem(key, text, expected, QLatin1String(names[int(into)]));
}

void readNumber(const QSettings &settings, const QString &key, int lowest, int highest, int &into,
                OptionsReading &reading)
{
    if (!settings.contains(key))
        return;
    const QString text = textOf(settings.value(key)).trimmed();
    bool ok = false;
    // toInt() stops at a NUL; the value then is not the number.
    const int value = text.toInt(&ok);
    ok = ok && std::none_of(text.begin(), text.end(), isControl);
    if (ok && value >= lowest && value <= highest)
        into = value;
    else
        reading.problems << problem(key, text, QStringLiteral("a number from %1 to %2").arg(lowest).arg(highest),
                                    QString::number(into));
}

// A file's path as written; one with a control character names no file.
void readPath(const QSettings &settings, const QString &key, QString &into, OptionsReading &reading)
{
    if (!settings.contains(key))
        return;
    const QString text = textOf(settings.value(key)).trimmed();
    if (std::any_of(text.begin(), text.end(), isControl))
        reading.problems << problem(key, text, QStringLiteral("a file's path"), QStringLiteral("none"));
    else
        into = text;
}

void readTruth(const QSettings &settings, const QString &key, bool &into, OptionsReading &reading)
{
    if (!settings.contains(key))
        return;
    const QString text = textOf(settings.value(key)).trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        into = true;
    else if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        into = false;
    else
        reading.problems << problem(key, text, QStringLiteral("true or false"),
                                    into ? QStringLiteral("true") : QStringLiteral("false"));
}

// "Automatic" in any case, or a name Qt's decoder knows, as written.
void readCharacterSet(const QSettings &settings, QString &into, OptionsReading &reading)
{
    if (!settings.contains(CharacterSetKey))
        return;
    const QString text = textOf(settings.value(CharacterSetKey)).trimmed();
    if (text.compare(Automatic, Qt::CaseInsensitive) == 0) {
        into = Automatic;
        return;
    }
    // Decoders' names are ASCII; anything else names none.
    const bool plain = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x7f;
    });
    if (plain && QStringDecoder(text.toLatin1().constData()).isValid())
        into = text;
    else
        reading.problems << problem(CharacterSetKey, text,
                                    QStringLiteral("Automatic or a character set this system knows"), into);
}

// A list of two or more is written "Time, Size"; one, or none, as plain text.
void writeColumns(QSettings &settings, const QStringList &columns)
{
    if (columns.size() > 1)
        settings.setValue(ColumnsKey, columns);
    else
        settings.setValue(ColumnsKey, columns.value(0));
}

// QSettings writes a new file beside the old one and renames it, so the
// folder must take a new file. Empty, or why not in the system's words.
QString unwritableFolder(const QString &folder)
{
    const QByteArray name = QFile::encodeName(folder);
    struct stat info {};
    int error = 0;
    if (::stat(name.constData(), &info) != 0)
        error = errno;
    else if (!S_ISDIR(info.st_mode))
        error = ENOTDIR;
    else if (::faccessat(AT_FDCWD, name.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        error = errno;
    if (error == 0)
        return {};
    return QStringLiteral("%1 (the folder %2)").arg(systemReason(error), folder);
}

// QSettings says only that the write failed: the reason is looked for in the
// file itself, then in its folder.
QString synced(QSettings &settings, const QString &folder, const QString &path)
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return {};
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) == 0 ? ::faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) != 0
                                               : errno != ENOENT)
        return systemReason(errno);
    if (QString fault = unwritableFolder(folder); !fault.isEmpty())
        return fault;
    return QStringLiteral("The system gave no reason");
}
} // namespace

QString optionsFilePath(const QString &folder)
{
    return QDir(folder).filePath(QLatin1String(OptionsFileName));
}

const QStringList &optionalListColumns()
{
    static const QStringList columns{QStringLiteral("Time"), QStringLiteral("Size"),
                                     QStringLiteral("Type"), QStringLiteral("ControlId"),
                                     QStringLiteral("Answer"), QStringLiteral("From")};
    return columns;
}

OptionsReading readOptions(const QString &folder)
{
    OptionsReading reading;
    Options &options = reading.options;
    const QString path = optionsFilePath(folder);
    // A missing file is the defaults; any other failure to look at it (a
    // symbolic link loop) is told, unless the folder itself fails, which
    // ackprobe.ini's repair tells already.
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        const int error = errno;
        if (error != ENOENT && ::stat(QFile::encodeName(folder).constData(), &info) == 0)
            reading.problems << unreadable(path, systemReason(error));
        return reading;
    }
    if (!S_ISREG(info.st_mode)) {
        reading.problems << unreadable(path, S_ISDIR(info.st_mode) ? systemReason(EISDIR)
                                                                   : QStringLiteral("Not a plain file"));
        return reading;
    }
    if (::faccessat(AT_FDCWD, name.constData(), R_OK, AT_EACCESS) != 0) {
        reading.problems << unreadable(path, systemReason(errno));
        return reading;
    }
    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        reading.problems << unreadable(path, QStringLiteral("It is not in the INI format"));
        return reading;
    }

    if (settings.contains(WholeKey)) {
        const QString text = textOf(settings.value(WholeKey)).trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            options.wholeMllpMessages = true;
        else if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0)
            reading.problems << problem(WholeKey, text, QStringLiteral("true or false"),
                                        QStringLiteral("false"));
    }
    readName(settings, ModeKey, ModeNames, options.answerMode, reading);
    readNumber(settings, DelayKey, Options::ShortestDelayMs, Options::LongestDelayMs, options.delayMs, reading);
    readName(settings, SendersKey, SendersNames, options.senders, reading);
    readNumber(settings, MaxSendersKey, 1, Options::MostSenders, options.maxSenders, reading);
    readNumber(settings, IdleKey, 0, Options::LongestIdleTimeoutS, options.idleTimeoutS, reading);
    readPath(settings, CertificateKey, options.tlsCertificate, reading);
    readPath(settings, KeyKey, options.tlsKey, reading);
    readPath(settings, ClientCAsKey, options.tlsClientCAs, reading);
    readCharacterSet(settings, options.characterSet, reading);
    readTruth(settings, UseMsh18Key, options.useMsh18, reading);
    if (settings.contains(ColumnsKey))
        readColumns(textOf(settings.value(ColumnsKey)), reading);
    return reading;
}

QString writeOptions(const QString &folder, const Options &options)
{
    if (QString failure = unwritableFolder(folder); !failure.isEmpty())
        return failure;
    const QString path = optionsFilePath(folder);
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(WholeKey, options.wholeMllpMessages ? QStringLiteral("true")
                                                          : QStringLiteral("false"));
    settings.setValue(ModeKey, QLatin1String(ModeNames[int(options.answerMode)]));
    settings.setValue(DelayKey, options.delayMs);
    settings.setValue(SendersKey, QLatin1String(SendersNames[int(options.senders)]));
    settings.setValue(MaxSendersKey, options.maxSenders);
    settings.setValue(IdleKey, options.idleTimeoutS);
    settings.setValue(CertificateKey, options.tlsCertificate);
    settings.setValue(KeyKey, options.tlsKey);
    settings.setValue(ClientCAsKey, options.tlsClientCAs);
    settings.setValue(CharacterSetKey, options.characterSet);
    settings.setValue(UseMsh18Key, options.useMsh18 ? QStringLiteral("true") : QStringLiteral("false"));
    writeColumns(settings, options.listColumns);
    return synced(settings, folder, path);
}

QString writeListColumns(const QString &folder, const QStringList &columns)
{
    if (QString failure = unwritableFolder(folder); !failure.isEmpty())
        return failure;
    const QString path = optionsFilePath(folder);
    QSettings settings(path, QSettings::IniFormat);
    writeColumns(settings, columns);
    return synced(settings, folder, path);
}
