#include "messagestore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
enum class Transfer { Read, Write };

// All of `size` bytes at `offset`: 0, or the errno of why not (a write that
// takes nothing means the disk is full).
int transferWhole(Transfer transfer, int fd, char *data, qsizetype size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = transfer == Transfer::Write ? ::pwrite(fd, data, size_t(size), offset)
                                                      : ::pread(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= n;
        offset += n;
    }
    return 0;
}

// A file that has no name from the start; where the file system cannot do
// that, a named one that is unlinked at once. Returns -1 and sets errno.
int openNamelessFile(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    QByteArray name = path + "/ackprobe-messages-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(name.constData());
    return named;
}
} // namespace

QStringList MessageStore::defaultSpillFolders()
{
    // The cache folder first: the temporary folder is often a RAM file system.
    return {QStandardPaths::writableLocation(QStandardPaths::CacheLocation), QDir::tempPath()};
}

MessageStore::MessageStore(QStringList spillFolders) : m_folders(std::move(spillFolders)) {}

MessageStore::~MessageStore() = default;

void MessageStore::append(QByteArrayView message, const MessageInfo &info)
{
    m_details.push_back({info, false, {}, 0}); // stand-in block's one line here
    qint64 at = totalBytes() - m_fileBytes;
    const char *from = message.data();
    qsizetype left = message.size();
    while (left > 0) {
        const auto chunk = size_t(at / ChunkSize);
        const qsizetype within = qsizetype(at % ChunkSize);
        if (chunk == m_chunks.size())
            // Not zero-filled: pages are only touched when messages land in them.
            m_chunks.push_back(std::make_unique_for_overwrite<char[]>(size_t(ChunkSize)));
        const qsizetype n = std::min(left, ChunkSize - within);
        std::memcpy(m_chunks[chunk].get() + within, from, size_t(n));
        from += n;
        left -= n;
        at += n;
    }
    m_offsets.push_back(totalBytes() + message.size());
}

void MessageStore::clear()
{
    m_chunks.clear();
    m_offsets.assign(1, 0);
    m_offsets.shrink_to_fit();
    m_details = {}; // stand-in block's one line here
    m_file.reset();
    m_fileBytes = 0;
}

void MessageStore::spillIfDue()
{
    const qint64 fullChunks = (totalBytes() - m_fileBytes) / ChunkSize;
    if (fullChunks < ChunksPerSpill || spillFailed() || (!m_file.isValid() && !openSpillFile()))
        return;
    for (qint64 i = 0; i < fullChunks; ++i) {
        if (const int error = transferWhole(Transfer::Write, m_file.get(), m_chunks.front().get(),
                                            ChunkSize, m_fileBytes)) {
            m_spillError = systemReason(error);
            return;
        }
        m_fileBytes += ChunkSize;
        m_chunks.pop_front();
    }
}

bool MessageStore::openSpillFile()
{
    QString reason = QStringLiteral("no folder for it");
    for (const QString &folder : m_folders) {
        if (folder.isEmpty() || !QDir().mkpath(folder)) {
            reason = systemReason(ENOENT);
            continue;
        }
        const int fd = openNamelessFile(folder);
        if (fd >= 0) {
            m_file = UniqueFd(fd);
            return true;
        }
        reason = systemReason(errno);
    }
    m_spillError = reason;
    return false;
}

QByteArray MessageStore::at(qint64 index, qsizetype maxBytes) const
{
    const qint64 begin = m_offsets.at(size_t(index));
    qint64 end = m_offsets.at(size_t(index) + 1);
    if (maxBytes >= 0)
        end = std::min(end, begin + maxBytes);
    QByteArray bytes(qsizetype(end - begin), Qt::Uninitialized);
    const qint64 onDisk = std::clamp(m_fileBytes - begin, qint64(0), end - begin);
    if (onDisk > 0 && transferWhole(Transfer::Read, m_file.get(), bytes.data(), qsizetype(onDisk), begin) != 0)
        return {};
    copyFromMemory(begin + onDisk, end, bytes.data() + onDisk);
    return bytes;
}

void MessageStore::copyFromMemory(qint64 from, qint64 to, char *out) const
{
    while (from < to) {
        const qint64 at = from - m_fileBytes;
        const qsizetype within = qsizetype(at % ChunkSize);
        const qsizetype n = qsizetype(std::min<qint64>(to - from, ChunkSize - within));
        std::memcpy(out, m_chunks[size_t(at / ChunkSize)].get() + within, size_t(n));
        out += n;
        from += n;
    }
}

// --- Per-message details: the in-memory stand-in, replaced at merge ---
MessageInfo MessageStore::info(qint64 index) const
{
    return m_details.at(size_t(index)).info;
}

void MessageStore::setAnswer(qint64 index, QByteArrayView answer, qint64 sentMs)
{
    Details &d = m_details.at(size_t(index));
    d.answered = true;
    d.answer = answer.toByteArray();
    d.sentMs = sentMs;
}

bool MessageStore::answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const
{
    const Details &d = m_details.at(size_t(index));
    if (bytes)
        *bytes = d.answered ? d.answer : QByteArray();
    if (sentMs)
        *sentMs = d.answered ? d.sentMs : 0;
    return d.answered;
}
// --- end of the block
