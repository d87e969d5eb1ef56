#include "messagestore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

// A message's details as they lie in the spill file, a fixed size each so
// that the n-th is found without an index.
struct MessageStore::Record
{
    qint64 arrivedMs = 0;
    qint64 firstArrivalMs = 0;
    qint64 sentMs = 0;
    qint64 answerOffset = 0;
    qint32 answerLength = -1; // none sent
    qint32 arrivals = 1;
    quint8 kind = 0;
    quint8 reserved[7] = {};
};

namespace {
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

// Lets the system drop its cached pages of [from, to): pages still dirty are
// written out first and kept until a later call. A length of 0 would mean
// "to the end of the file".
void releaseCached(int fd, qint64 from, qint64 to)
{
    if (to > from)
        ::posix_fadvise(fd, from, to - from, POSIX_FADV_DONTNEED);
}
} // namespace

QStringList MessageStore::defaultSpillFolders()
{
    // The cache folder first: the temporary folder is often a RAM file system.
    return {QStandardPaths::writableLocation(QStandardPaths::CacheLocation), QDir::tempPath()};
}

MessageStore::MessageStore(QStringList spillFolders) : m_folders(std::move(spillFolders))
{
    m_offsets.grow(0) = 0;
}

MessageStore::~MessageStore() = default;

void MessageStore::append(QByteArrayView message, const MessageInfo &info)
{
    appendPart(message);
    endMessage(info);
}

void MessageStore::appendPart(QByteArrayView bytes)
{
    m_messages.append(bytes.data(), bytes.size());
}

void MessageStore::endMessage(const MessageInfo &info)
{
    const qint64 index = m_count.load(std::memory_order_relaxed);
    Record record;
    record.arrivedMs = info.arrivedMs;
    record.firstArrivalMs = info.firstArrivalMs;
    record.arrivals = info.arrivals;
    record.kind = quint8(info.kind);
    m_records.append(reinterpret_cast<const char *>(&record), sizeof record);
    m_offsets.grow(index + 1) = m_messages.size();
    // Readers see the message, its offsets and its chunks from here on.
    m_count.store(index + 1, std::memory_order_release);
}

void MessageStore::clear()
{
    m_messages.clear();
    m_records.clear();
    m_answers.clear();
    m_lastAnswer.clear();
    m_lastAnswerOffset = -1;
    m_count.store(0, std::memory_order_release);
    m_offsets.clear();
    m_offsets.grow(0) = 0;
    m_fd.store(-1);
    m_directFd.store(-1);
    m_directFile.reset();
    m_file.reset();
    m_fileEnd = 0;
    m_cacheKeptFrom = 0;
    m_lastSpillStart = 0;
    m_failed = false;
    m_spillError.clear();
    m_retryAtChunks = 0;
}

QByteArray MessageStore::at(qint64 index, qsizetype maxBytes) const
{
    if (index < 0 || index >= size())
        return {};
    const qint64 begin = offsetOf(index);
    qint64 end = offsetOf(index + 1);
    if (maxBytes >= 0)
        end = std::min(end, begin + maxBytes);
    QByteArray bytes(qsizetype(end - begin), Qt::Uninitialized);
    if (!readBytes(begin, end, bytes.data()))
        return {};
    return bytes;
}

bool MessageStore::readBytes(qint64 from, qint64 to, char *out, Read how) const
{
    const int directFd = how == Read::Passing ? m_directFd.load(std::memory_order_acquire) : -1;
    return m_messages.read(from, to, out, m_fd.load(std::memory_order_acquire), directFd);
}

MessageStore::Record MessageStore::record(qint64 index) const
{
    static_assert(sizeof(Record) == 48);
    Record record;
    if (index >= 0 && index < size()) {
        const qint64 at = index * qint64(sizeof record);
        if (!m_records.read(at, at + qint64(sizeof record), reinterpret_cast<char *>(&record), m_file.get()))
            record = Record();
    }
    return record;
}

MessageInfo MessageStore::info(qint64 index) const
{
    const Record r = record(index);
    MessageInfo info;
    info.arrivedMs = r.arrivedMs;
    info.firstArrivalMs = r.firstArrivalMs;
    info.arrivals = r.arrivals;
    info.kind = MessageInfo::Kind(r.kind);
    return info;
}

void MessageStore::setAnswer(qint64 index, QByteArrayView answer, qint64 sentMs)
{
    if (index < 0 || index >= size())
        return;
    const qint64 at = index * qint64(sizeof(Record));
    Record r = record(index);
    r.answerLength = qint32(std::min<qsizetype>(answer.size(), std::numeric_limits<qint32>::max()));
    r.sentMs = sentMs;
    // Within a minute most answers are the same bytes as the one before:
    // those are kept once.
    if (m_lastAnswerOffset < 0 || QByteArrayView(m_lastAnswer) != answer.first(r.answerLength)) {
        m_lastAnswerOffset = m_answers.size();
        m_lastAnswer = answer.first(r.answerLength).toByteArray();
        m_answers.append(answer.data(), r.answerLength);
    }
    r.answerOffset = m_lastAnswerOffset;
    // A record already on disk is written in place; should that fail, the
    // message reads as unanswered rather than with another's answer.
    m_records.overwrite(at, reinterpret_cast<const char *>(&r), sizeof r, m_file.get());
}

bool MessageStore::answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const
{
    const Record r = record(index);
    if (r.answerLength < 0)
        return false;
    if (bytes) {
        QByteArray answer(r.answerLength, Qt::Uninitialized);
        if (!m_answers.read(r.answerOffset, r.answerOffset + r.answerLength, answer.data(), m_file.get()))
            return false;
        *bytes = std::move(answer);
    }
    if (sentMs)
        *sentMs = r.sentMs;
    return true;
}

bool MessageStore::anyStreamDue() const
{
    return m_messages.fullChunksInMemory() >= ChunksPerSpill || m_records.fullChunksInMemory() >= ChunksPerSpill
           || m_answers.fullChunksInMemory() >= ChunksPerSpill;
}

qint64 MessageStore::fullChunksHeld() const
{
    return m_messages.fullChunksInMemory() + m_records.fullChunksInMemory() + m_answers.fullChunksInMemory();
}

qint64 MessageStore::bytesInMemory() const
{
    return (m_messages.chunksInMemory() + m_records.chunksInMemory() + m_answers.chunksInMemory()) * ChunkSize;
}

MessageStore::SpillChange MessageStore::spillIfDue()
{
    if (!anyStreamDue())
        return SpillChange::None;
    const auto now = std::chrono::steady_clock::now();
    // After a failure, the next try waits for the next spill's worth of
    // messages or a while, whichever comes first: not one try a message.
    if (m_failed && fullChunksHeld() < m_retryAtChunks && now - m_lastAttempt < RetryInterval)
        return SpillChange::None;
    int error = m_file.isValid() ? 0 : openSpillFile();
    int budget = ChunksPerCall;
    const qint64 spillStart = m_fileEnd;
    for (ChunkStream *stream : {&m_messages, &m_records, &m_answers}) {
        if (error == 0)
            error = stream->spill(m_file.get(), m_fileEnd, budget);
    }
    if (error != 0) {
        m_lastAttempt = now;
        m_retryAtChunks = fullChunksHeld() + ChunksPerSpill;
        m_spillError = systemReason(error);
        return std::exchange(m_failed, true) ? SpillChange::None : SpillChange::Failed;
    }
    if (m_fileEnd > spillStart)
        keepCacheSmall(spillStart);
    // A backlog goes on at the next call; the episode ends once memory is
    // back to what a run that never failed would hold.
    m_retryAtChunks = 0;
    if (m_failed && !anyStreamDue()) {
        m_failed = false;
        return SpillChange::BackOnDisk;
    }
    return SpillChange::None;
}

void MessageStore::keepCacheSmall(qint64 spillStart)
{
    // The file is read again only when someone looks back, so its pages need
    // not crowd the system's cache: each fresh page of cache costs a fault
    // that the answering thread pays, where a page let go is reused. Letting
    // go of a spill's pages also starts their write; the next spill drops
    // them then.
    releaseCached(m_file.get(), m_cacheKeptFrom, spillStart);
    m_cacheKeptFrom = m_lastSpillStart;
    m_lastSpillStart = spillStart;
}

int MessageStore::openSpillFile()
{
    int error = ENOENT;
    for (const QString &folder : m_folders) {
        if (folder.isEmpty() || !QDir().mkpath(folder)) {
            error = ENOENT;
            continue;
        }
        const int fd = openNamelessFile(folder);
        if (fd >= 0) {
            m_file = UniqueFd(fd);
            // A second opening that reads past the system's cache, where the
            // file system offers one.
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
            m_directFile = UniqueFd(::open(self.constData(), O_RDONLY | O_DIRECT | O_CLOEXEC));
            m_directFd.store(m_directFile.get(), std::memory_order_release);
            m_fd.store(fd, std::memory_order_release);
            return 0;
        }
        error = errno;
    }
    return error;
}
