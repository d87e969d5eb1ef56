#include "settingsstore.h"

#include "settingsfile.h"
#include "settingsfolder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <utility>

namespace {

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

} // namespace

SettingsStore::SettingsStore(QString directory) : m_directory(std::move(directory)) {}

QString SettingsStore::filePath() const
{
    return m_directory + QStringLiteral("/ackprobe.ini");
}

std::optional<QByteArray> SettingsStore::read(QString *error) const
{
    // A pipe or a device where the file should be is refused unopened:
    // opening a pipe waits for a writer for ever, and a device may never end.
    const QFileInfo info(filePath());
    if (info.exists() && !info.isFile() && !info.isDir()) {
        setError(error, QStringLiteral("Not a plain file"));
        return std::nullopt;
    }
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, file.errorString());
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(error, file.errorString());
        return std::nullopt;
    }
    return bytes;
}

bool SettingsStore::write(const QByteArray &bytes, QString *error) const
{
    // QSaveFile refuses an existing file that is not writable, rather than
    // renaming a new one over it as a writable directory would allow.
    QSaveFile file(filePath());
    // A directory the operator cannot create files in still lets a writable
    // file be rewritten in place, as a plain rewrite would.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        // A folder that could not be made is told by what stopped it, not as
        // the file's "No such file".
        const QString fault = folderFault(m_directory);
        setError(error, fault.isEmpty() ? file.errorString() : fault);
        return false;
    }
    if (file.write(bytes) != bytes.size()) {
        setError(error, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, file.errorString());
        return false;
    }
    return true;
}

bool readSettingsInto(const SettingsStore &store, SettingsRecord &record, QString *reason)
{
    const std::optional<QByteArray> bytes = store.read(reason);
    if (!bytes)
        return false;
    const SettingsReadResult read = readSettings(*bytes, record);
    record = read.record;
    if (!read.ok) {
        *reason = QStringLiteral("A key stands last without its value.");
        return false;
    }
    return true;
}
