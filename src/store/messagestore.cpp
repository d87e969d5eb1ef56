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
    quint32 beforeBytes = 0;
    quint32 afterBytes = 0;
    quint8 kind = 0;
    quint8 beforeSeen = 0;
    quint8 beforeFirsts = 0;
    quint8 afterSeen = 0;
    quint8 afterFirsts = 0;
    quint8 outcome = 0;
    quint16 ruleLine = 0;
    quint32 sender = 0;
    quint32 reserved2 = 0;

    void setBefore(const MessageInfo::Padding &padding)
    {
        beforeBytes = padding.bytes;
        beforeSeen = padding.seen;
        beforeFirsts = padding.firsts;
    }
    void setAfter(const MessageInfo::Padding &padding)
    {
        afterBytes = padding.bytes;
        afterSeen = padding.seen;
        afterFirsts = padding.firsts;
    }
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
// Padding bytes as two bits each, 0 for none; the bit in `seen` is one below.
constexpr char PaddingBytes[] = {'\r', '\n', '\0'};

int paddingCode(char byte)
{
    return byte == '\r' ? 1 : byte == '\n' ? 2 : 3;
}
} // namespace

void MessageInfo::Padding::add(QByteArrayView more)
{
    for (qsizetype i = 0; i < more.size(); ++i) {
        const int code = paddingCode(more[i]);
        seen |= quint8(1 << (code - 1));
        if (bytes + i < quint32(Listed))
            firsts |= quint8(code << (2 * (bytes + i)));
    }
    bytes = quint32(std::min<qint64>(qint64(bytes) + more.size(), std::numeric_limits<quint32>::max()));
}

char MessageInfo::Padding::at(int i) const
{
    const int code = (firsts >> (2 * i)) & 3;
    return code ? PaddingBytes[code - 1] : '\0';
}

QStringList MessageStore::defaultSpillFolders()
{
    // The cache folder first: the temporary folder is often a RAM file system.
    return {QStandardPaths::writableLocation(QStandardPaths::CacheLocation), QDir::tempPath()};
}

MessageStore::MessageStore(QStringList spillFolders) : m_folders(std::move(spillFolders)) {}

MessageStore::~MessageStore()
{
    m_run->cleared.store(true, std::memory_order_release);
}

void MessageStore::append(QByteArrayView message, const MessageInfo &info)
{
    appendPart(message);
    endMessage(info);
}

void MessageStore::appendPart(QByteArrayView bytes)
{
    m_run->bytes.append(bytes.data(), bytes.size());
}

void MessageStore::endMessage(const MessageInfo &info)
{
    MessageRun &run = *m_run;
    const qint64 index = run.count.load(std::memory_order_relaxed);
    Record record;
    record.arrivedMs = info.arrivedMs;
    record.firstArrivalMs = info.firstArrivalMs;
    record.arrivals = info.arrivals;
    record.kind = quint8(info.kind);
    record.setBefore(info.precededBy);
    record.setAfter(info.followedBy);
    record.sender = info.sender;
    record.ruleLine = info.ruleLine;
    record.outcome = quint8(info.outcome);
    m_records.append(reinterpret_cast<const char *>(&record), sizeof record);
    run.offsets.grow(index + 1) = run.bytes.size();
    // Readers see the message, its offsets and its chunks from here on.
    run.count.store(index + 1, std::memory_order_release);
}

void MessageStore::clear()
{
    // Readers of the old run keep it (and its file) until the last goes;
    // their reads fail from here on.
    m_run->cleared.store(true, std::memory_order_release);
    m_run = std::make_shared<MessageRun>();
    m_records.clear();
    m_answers.clear();
    m_lastAnswer.clear();
    m_lastAnswerOffset = -1;
    m_senders.clear();
    m_fileEnd = 0;
    m_cacheKeptFrom = 0;
    m_lastSpillStart = 0;
    m_failed = false;
    m_spillError.clear();
    m_retryAtChunks = 0;
}

MessageStore::Record MessageStore::record(qint64 index) const
{
    static_assert(sizeof(Record) == 64);
    Record record;
    if (index >= 0 && index < size()) {
        const qint64 at = index * qint64(sizeof record);
        if (m_records.readOwn(at, at + qint64(sizeof record), reinterpret_cast<char *>(&record), m_run->file) != 0)
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
    info.precededBy = {r.beforeBytes, r.beforeSeen, r.beforeFirsts};
    info.followedBy = {r.afterBytes, r.afterSeen, r.afterFirsts};
    info.sender = r.sender;
    info.ruleLine = r.ruleLine;
    info.outcome = MessageInfo::Outcome(r.outcome);
    return info;
}

void MessageStore::setFollowedBy(qint64 index, const MessageInfo::Padding &padding)
{
    if (index < 0 || index >= size())
        return;
    Record r = record(index);
    r.setAfter(padding);
    m_records.overwrite(index * qint64(sizeof r), reinterpret_cast<const char *>(&r), sizeof r, m_run->file);
}

void MessageStore::setOutcome(qint64 index, quint16 ruleLine, MessageInfo::Outcome outcome)
{
    if (index < 0 || index >= size())
        return;
    Record r = record(index);
    r.ruleLine = ruleLine;
    r.outcome = quint8(outcome);
    m_records.overwrite(index * qint64(sizeof r), reinterpret_cast<const char *>(&r), sizeof r, m_run->file);
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
    m_records.overwrite(at, reinterpret_cast<const char *>(&r), sizeof r, m_run->file);
}

bool MessageStore::answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const
{
    const Record r = record(index);
    if (r.answerLength < 0)
        return false;
    if (bytes) {
        QByteArray answer(r.answerLength, Qt::Uninitialized);
        if (m_answers.readOwn(r.answerOffset, r.answerOffset + r.answerLength, answer.data(), m_run->file) != 0)
            return false;
        *bytes = std::move(answer);
    }
    if (sentMs)
        *sentMs = r.sentMs;
    return true;
}

quint32 MessageStore::addSender(QByteArrayView description)
{
    // Kept in the answers' stream, which goes to disk with them: a run of
    // many short connections holds a few bytes a sender in memory.
    m_senders.push_back({m_answers.size(), qint32(std::min<qsizetype>(description.size(), 4096))});
    m_answers.append(description.data(), m_senders.back().length);
    return quint32(m_senders.size());
}

QByteArray MessageStore::sender(quint32 id) const
{
    if (id == 0 || id > m_senders.size())
        return {};
    const SenderText &text = m_senders[id - 1];
    QByteArray description(text.length, Qt::Uninitialized);
    if (m_answers.readOwn(text.offset, text.offset + text.length, description.data(), m_run->file) != 0)
        return {};
    return description;
}

bool MessageStore::anyStreamDue() const
{
    return m_run->bytes.fullChunksInMemory() >= ChunksPerSpill || m_records.fullChunksInMemory() >= ChunksPerSpill
           || m_answers.fullChunksInMemory() >= ChunksPerSpill;
}

qint64 MessageStore::fullChunksHeld() const
{
    return m_run->bytes.fullChunksInMemory() + m_records.fullChunksInMemory() + m_answers.fullChunksInMemory();
}

qint64 MessageStore::bytesInMemory() const
{
    return (m_run->bytes.chunksInMemory() + m_records.chunksInMemory() + m_answers.chunksInMemory()) * ChunkSize;
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
    int error = m_run->file.isOpen() ? 0 : openSpillFile();
    int budget = ChunksPerCall;
    const qint64 spillStart = m_fileEnd;
    for (ChunkStream *stream : {&m_run->bytes, &m_records, &m_answers}) {
        if (error == 0)
            error = stream->spill(m_run->file, m_fileEnd, budget);
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
    releaseCached(m_run->file.fd(), m_cacheKeptFrom, spillStart);
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
            // A second opening that reads past the system's cache, where the
            // file system offers one.
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
            UniqueFd direct(::open(self.constData(), O_RDONLY | O_DIRECT | O_CLOEXEC));
            m_run->file.open(UniqueFd(fd), std::move(direct));
            return 0;
        }
        error = errno;
    }
    return error;
}
