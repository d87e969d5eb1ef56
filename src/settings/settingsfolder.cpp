#include "settingsfolder.h"

#include "system/unixfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool isSystemFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    for (const QLatin1String top : {QLatin1String("/usr"), QLatin1String("/opt")}) {
        if (clean == top || clean.startsWith(top + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString settingsFolder(const SettingsFolderFacts &facts)
{
    if (facts.programDirectoryHoldsIni
        || (facts.programDirectoryWritable && !isSystemFolder(facts.programDirectory)))
        return facts.programDirectory;
    // The XDG base directory rules ignore a relative $XDG_CONFIG_HOME.
    const QString configHome = QDir::isAbsolutePath(facts.xdgConfigHome)
                                       ? facts.xdgConfigHome
                                       : facts.home + QStringLiteral("/.config");
    return QDir::cleanPath(configHome + QStringLiteral("/AckmereProbe"));
}

namespace {
// Kept open for the whole run: the folder's path through it is the only one
// Qt's text paths can name when the folder's own name is not valid UTF-8.
struct HeldFolder
{
    int fd = -1;
    QString path;  // Qt's path to it, through the descriptor
    QString shown; // its name as given, for the operator
    void hold(int newFd, const QString &given = {})
    {
        if (fd >= 0)
            ::close(fd);
        fd = newFd;
        path = fd < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(fd);
        shown = given;
    }
    ~HeldFolder() { hold(-1); }
};
HeldFolder heldFolder;

// The UTF-8 sequence at `at` in `bytes`: its length, or 0 when it is none.
qsizetype utf8SequenceAt(const QByteArray &bytes, qsizetype at)
{
    for (qsizetype length = 1; length <= 4 && at + length <= bytes.size(); ++length) {
        const QByteArray sequence = bytes.sliced(at, length);
        const QString text = QString::fromUtf8(sequence);
        if (!text.contains(QChar::ReplacementCharacter) && text.toUtf8() == sequence)
            return length;
    }
    return 0;
}

// Why nothing can be made in `name`, by the first step on the way that
// stops it; empty when the way is clear (it may be made, or just missing).
QString wayFault(QByteArray name, bool folderItself)
{
    for (int depth = 0; depth < 256; ++depth) {
        struct stat info {};
        if (::stat(name.constData(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return systemReason(ENOTDIR);
            if (!folderItself && ::access(name.constData(), W_OK | X_OK) != 0)
                return systemReason(errno);
            return {};
        }
        if (errno != ENOENT)
            return systemReason(errno);
        const qsizetype slash = name.lastIndexOf('/');
        if (slash <= 0)
            return {};
        name.truncate(slash);
        folderItself = false;
    }
    return {};
}
} // namespace

NamedFolder namedSettingsFolder(const QByteArray &name)
{
    const QString shown = escapedName(name);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        if (errno == ENOENT)
            return {{}, QStringLiteral("The settings folder '%1' does not exist.").arg(shown)};
        return {{}, QStringLiteral("The settings folder '%1' cannot be used: %2.")
                            .arg(shown, systemReason(errno))};
    }
    if (!S_ISDIR(info.st_mode))
        return {{}, QStringLiteral("'%1' is not a folder.").arg(shown)};
    // The settings are read and written back at every start: a folder
    // either way closed is refused now, not met later as a missing file.
    if (::faccessat(AT_FDCWD, name.constData(), R_OK | W_OK | X_OK, AT_EACCESS) != 0)
        return {{}, QStringLiteral("The settings folder '%1' cannot be used: %2.")
                            .arg(shown, systemReason(errno))};
    if (QFile::encodeName(shown) == name)
        return {QFileInfo(shown).absoluteFilePath(), {}};
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {{}, QStringLiteral("The settings folder '%1' cannot be used: %2.")
                            .arg(shown, systemReason(errno))};
    heldFolder.hold(fd, escapedName(name));
    return {heldFolder.path, {}};
}

QString escapedName(const QByteArray &name)
{
    QString shown;
    for (qsizetype at = 0; at < name.size();) {
        const qsizetype length = utf8SequenceAt(name, at);
        if (length > 0) {
            shown += QString::fromUtf8(name.sliced(at, length));
            at += length;
        } else {
            shown += QStringLiteral("\\x") + QString::number(uchar(name[at]), 16).toUpper().rightJustified(2, u'0');
            ++at;
        }
    }
    return shown;
}

QString shownPath(const QString &text)
{
    if (heldFolder.path.isEmpty())
        return text;
    if (text == heldFolder.path)
        return heldFolder.shown;
    QString shown = text;
    return shown.replace(heldFolder.path + QLatin1Char('/'), heldFolder.shown + QLatin1Char('/'));
}

QByteArray givenBytes(const QString &text)
{
    QFile file(QStringLiteral("/proc/self/cmdline"));
    QByteArray found = QFile::encodeName(text);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &argument : file.readAll().split('\0')) {
        const qsizetype equals = argument.indexOf('=');
        for (const QByteArray &candidate : {argument, equals < 0 ? QByteArray() : argument.sliced(equals + 1)})
            if (!candidate.isEmpty() && QFile::decodeName(candidate) == text)
                found = candidate;
    }
    return found;
}

QString folderFault(const QString &folder)
{
    return wayFault(QFile::encodeName(QDir::cleanPath(folder)), true);
}
