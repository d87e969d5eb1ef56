#include "rulesfile.h"

#include "system/unixfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString unreadable(const QString &path, const QString &reason)
{
    return QStringLiteral("%1 could not be read (%2); no answer rule is used.").arg(path, reason);
}

QString kindOf(const struct stat &info)
{
    return S_ISDIR(info.st_mode) ? systemReason(EISDIR) : QStringLiteral("Not a plain file");
}

QString tooLarge()
{
    return QStringLiteral("It is larger than 1 MiB");
}

// The text, or nothing when `bytes` are not UTF-8; then `badLine` is the
// first line that is not (a line end is never part of a character).
std::optional<QString> utf8Text(const QByteArray &bytes, int *badLine)
{
    QStringDecoder whole(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = whole.decode(bytes);
    if (!whole.hasError())
        return text;
    int line = 1;
    qsizetype from = 0;
    while (true) {
        const qsizetype end = bytes.indexOf('\n', from);
        const QByteArrayView part = QByteArrayView(bytes).sliced(from, (end < 0 ? bytes.size() : end) - from);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder.decode(part);
        if (decoder.hasError() || end < 0)
            break;
        from = end + 1;
        ++line;
    }
    *badLine = line;
    return std::nullopt;
}
} // namespace

QString rulesFilePath(const QString &folder)
{
    return QDir(folder).filePath(QLatin1String(RulesFileName));
}

RulesFileReading readRulesFile(const QString &folder)
{
    RulesFileReading reading;
    const QString path = rulesFilePath(folder);
    const QByteArray name = QFile::encodeName(path);
    // A pipe is never opened to read unless it is known to be none: its
    // open would wait for a writer.
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            reading.present = true;
            reading.problem = unreadable(path, systemReason(error));
        }
        return reading;
    }
    reading.present = true;
    if (!S_ISREG(info.st_mode)) {
        reading.problem = unreadable(path, kindOf(info));
        return reading;
    }
    if (info.st_size > LargestRulesFile) {
        reading.problem = unreadable(path, tooLarge());
        return reading;
    }
    // Opened without waiting all the same, and looked at again: something
    // else may stand there by now.
    const UniqueFd fd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid()) {
        reading.problem = unreadable(path, systemReason(errno));
        return reading;
    }
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        reading.problem = unreadable(path, S_ISREG(info.st_mode) ? systemReason(errno) : kindOf(info));
        return reading;
    }
    // One byte more than allowed tells a file that grew meanwhile.
    QByteArray bytes(LargestRulesFile + 1, Qt::Uninitialized);
    qsizetype size = 0;
    while (size < bytes.size()) {
        const ssize_t got = ::read(fd.get(), bytes.data() + size, size_t(bytes.size() - size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            reading.problem = unreadable(path, systemReason(errno));
            return reading;
        }
        if (got == 0)
            break;
        size += got;
    }
    if (size > LargestRulesFile) {
        reading.problem = unreadable(path, tooLarge());
        return reading;
    }
    bytes.truncate(size);
    int badLine = 0;
    std::optional<QString> text = utf8Text(bytes, &badLine);
    if (!text) {
        reading.problem = unreadable(path, QStringLiteral("line %1 is not UTF-8").arg(badLine));
        return reading;
    }
    reading.text = std::move(*text);
    return reading;
}
