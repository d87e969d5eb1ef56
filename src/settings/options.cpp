#include "options.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace {
const QString WholeKey = QStringLiteral("Receive/WholeMllpMessages");
const QString ModeKey = QStringLiteral("Answer/Mode");
const QString DelayKey = QStringLiteral("Answer/DelayMs");
const QString ColumnsKey = QStringLiteral("List/Columns");

constexpr const char *ModeNames[] = {"AtOnce", "Delayed", "Never"};

// [Group] Key as the operator sees it in the file.
QString shown(const QString &key)
{
    const qsizetype slash = key.indexOf(QLatin1Char('/'));
    return QStringLiteral("[%1] %2").arg(key.left(slash), key.mid(slash + 1));
}

QString problem(const QString &key, const QString &value, const QString &expected,
                const QString &used)
{
    return QStringLiteral("%1 \"%2\" is not %3; %4 is used.").arg(shown(key), value, expected, used);
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
                                .arg(shown(ColumnsKey), unknown.join(QLatin1Char(',')),
                                     names.join(QLatin1Char(',')));
}

// A list of two or more is written "Time, Size"; one, or none, as plain text.
void writeColumns(QSettings &settings, const QStringList &columns)
{
    if (columns.size() > 1)
        settings.setValue(ColumnsKey, columns);
    else
        settings.setValue(ColumnsKey, columns.value(0));
}

// QSettings writes a new file beside the old one and renames it.
QString unwritableFolder(const QString &folder)
{
    const QFileInfo dir(folder);
    if (dir.isDir() && dir.isWritable())
        return {};
    return QStringLiteral("%1 could not be written: the folder is not writable.").arg(optionsFilePath(folder));
}

QString synced(QSettings &settings, const QString &path)
{
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return QStringLiteral("%1 could not be written.").arg(path);
    return {};
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
                                     QStringLiteral("Answer")};
    return columns;
}

OptionsReading readOptions(const QString &folder)
{
    OptionsReading reading;
    Options &options = reading.options;
    const QString path = optionsFilePath(folder);
    const QFileInfo file(path);
    if (!file.exists())
        return reading;
    if (!file.isFile() || !file.isReadable()) {
        reading.problems << QStringLiteral("%1 could not be read; the defaults are used.").arg(path);
        return reading;
    }
    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        reading.problems << QStringLiteral("%1 could not be read; the defaults are used.").arg(path);
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
    if (settings.contains(ModeKey)) {
        const QString text = textOf(settings.value(ModeKey)).trimmed();
        bool known = false;
        for (int mode = 0; mode < int(std::size(ModeNames)); ++mode) {
            if (text.compare(QLatin1String(ModeNames[mode]), Qt::CaseInsensitive) == 0) {
                options.answerMode = Options::AnswerMode(mode);
                known = true;
            }
        }
        if (!known)
            reading.problems << problem(ModeKey, text, QStringLiteral("AtOnce, Delayed or Never"),
                                        QStringLiteral("AtOnce"));
    }
    if (settings.contains(DelayKey)) {
        const QString text = textOf(settings.value(DelayKey)).trimmed();
        bool ok = false;
        const int delay = text.toInt(&ok);
        if (ok && delay >= Options::ShortestDelayMs && delay <= Options::LongestDelayMs)
            options.delayMs = delay;
        else
            reading.problems << problem(DelayKey, text,
                                        QStringLiteral("a number from %1 to %2")
                                            .arg(Options::ShortestDelayMs)
                                            .arg(Options::LongestDelayMs),
                                        QString::number(options.delayMs));
    }
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
    writeColumns(settings, options.listColumns);
    return synced(settings, path);
}

QString writeListColumns(const QString &folder, const QStringList &columns)
{
    if (QString failure = unwritableFolder(folder); !failure.isEmpty())
        return failure;
    const QString path = optionsFilePath(folder);
    QSettings settings(path, QSettings::IniFormat);
    writeColumns(settings, columns);
    return synced(settings, path);
}
