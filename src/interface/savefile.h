#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// Writes `bytes` to `path` for Save As. A regular file or a new name is
// replaced atomically, an existing file keeping its permissions; a FIFO or a
// character device is written into, nothing created or renamed; anything
// else (a folder, a socket, a block device) is refused. Nothing on success,
// else the reason in the system's words where it has them.
std::optional<QString> saveFile(const QString &path, QByteArrayView bytes);
