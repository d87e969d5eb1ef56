#pragma once

#include "system/unixfile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

class QSaveFile;

// Save As onto `path`, the bytes given piece by piece so that a long run is
// never held whole. A regular file or a new name is replaced atomically at
// commit, an existing file keeping its permissions; a FIFO or a character
// device is written into, nothing created or renamed; anything else (a
// folder, a socket, a block device) is refused. Failures give the reason in
// the system's words where it has them.
class SaveStream
{
public:
    explicit SaveStream(const QString &path);
    // Without a commit a file being replaced stays as it was.
    ~SaveStream();
    SaveStream(const SaveStream &) = delete;
    SaveStream &operator=(const SaveStream &) = delete;

    // False once anything has failed; failure() says why.
    bool write(QByteArrayView bytes);
    // Everything written reaches the target: nothing, or why not.
    std::optional<QString> commit();
    const std::optional<QString> &failure() const { return m_failure; }

private:
    void openInto(const QByteArray &name, bool fifo);
    std::optional<QString> writeOut(QByteArrayView bytes);
    bool flush();

    std::unique_ptr<QSaveFile> m_file; // a regular file or a new name
    UniqueFd m_fd;                     // a FIFO or a character device
    QByteArray m_pending;              // gathered, so that a write is not a call each
    std::optional<QString> m_failure;
};

// The same for bytes at hand: nothing on success, else the reason.
std::optional<QString> saveFile(const QString &path, QByteArrayView bytes);
