#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The settings file on disk: "ackprobe.ini" in one directory (the one that
// holds the executable; tests give a temporary one). Open only inside one
// read or one write.
class SettingsStore
{
public:
    explicit SettingsStore(QString directory);

    QString filePath() const;

    // The file's bytes, or nothing when it is missing or cannot be read;
    // `error` then holds the system's reason.
    std::optional<QByteArray> read(QString *error = nullptr) const;

    // Replaces the whole file. A failed write leaves the old file as it was
    // where the system allows, and returns false with the system's reason.
    bool write(const QByteArray &bytes, QString *error = nullptr) const;

private:
    QString m_directory;
};

struct SettingsRecord;

// The file read into `record`, on top of what it holds. False when the file
// is missing or cannot be read, or a key stands last without its value;
// `reason` then says why. Repairs are the caller's.
bool readSettingsInto(const SettingsStore &store, SettingsRecord &record, QString *reason);
