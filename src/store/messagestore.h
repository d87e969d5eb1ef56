#pragma once

#include "store/chunkstream.h"
#include "store/stablearray.h"
#include "system/unixfile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>

// What is known of a received message besides its bytes.
struct MessageInfo
{
    qint64 arrivedMs = 0;      // ms since epoch when the message was complete
    qint64 firstArrivalMs = 0; // ms since epoch of its first piece
    qint32 arrivals = 1;       // arrivals it took
    // Arrival: one arrival taken as one message; Block: a whole MLLP block;
    // Outside: bytes outside any block; Incomplete: a block still open when
    // its connection ended (the last two are not answered).
    enum class Kind : quint8 { Arrival, Block, Outside, Incomplete } kind = Kind::Arrival;
};

// Every message received since start-up, in order of arrival, each held once
// as its bytes, with its details and the answer sent for it. The bytes, the
// details and the answers go to one append-only spill file, unlinked as soon
// as it is made, so a run of weeks keeps only a small index in memory (one
// offset a message); the newest wait in memory and are written in large
// chunks. Reading a message costs the same at the first and at the
// millionth.
//
// When the file cannot be made or written, the messages stay in memory and
// the store tries again at the next spill point (or a second later); once it
// works, what was held in memory moves to disk. spillIfDue() says when such
// an episode begins and when it ends.
//
// Threads: one thread appends and calls everything else; any other thread
// may call size(), totalBytes(), offsetOf(), at() and readBytes() meanwhile,
// for the messages published so far. clear() needs those readers stopped.
class MessageStore
{
public:
    // The spill file is made in the first of these folders that takes it.
    static QStringList defaultSpillFolders();

    explicit MessageStore(QStringList spillFolders = defaultSpillFolders());
    ~MessageStore();
    MessageStore(const MessageStore &) = delete;
    MessageStore &operator=(const MessageStore &) = delete;

    void append(QByteArrayView message, const MessageInfo &info = {});
    // A message that comes in pieces: its bytes go in (and to disk) as they
    // come, and it is a message, seen by readers, once it ends.
    void appendPart(QByteArrayView bytes);
    void endMessage(const MessageInfo &info);
    // Bytes of the message begun by appendPart() and not yet ended.
    qint64 openMessageBytes() const { return m_messages.size() - offsetOf(size()); }
    void clear();

    // --- Any thread ----------------------------------------------------------
    qint64 size() const { return m_count.load(std::memory_order_acquire); }
    // The message's bytes, or only its first maxBytes; empty past the end.
    QByteArray at(qint64 index, qsizetype maxBytes = -1) const;
    qint64 totalBytes() const { return offsetOf(size()); }
    // Where message `index` begins in the run's bytes (the end of the last
    // one for index size()), and those bytes [from, to) themselves.
    qint64 offsetOf(qint64 index) const { return m_offsets[index]; }
    // The message's size in bytes, without reading it.
    qint64 sizeOf(qint64 index) const { return offsetOf(index + 1) - offsetOf(index); }
    // A passing read (a search going through once) reads what is on disk past
    // the system's cache, instead of filling it with what is not read again.
    enum class Read { Kept, Passing };
    bool readBytes(qint64 from, qint64 to, char *out, Read how = Read::Kept) const;

    // --- The appending thread --------------------------------------------------
    MessageInfo info(qint64 index) const;
    // The answer sent for a message: once, any time after it was appended.
    void setAnswer(qint64 index, QByteArrayView answer, qint64 sentMs);
    // False while none has been sent.
    bool answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const;

    enum class SpillChange {
        None,
        Failed,    // the file failed: messages are kept in memory from now
        BackOnDisk // after a failure, everything held in memory is on disk again
    };
    // Writes the full chunks waiting in memory to the spill file once enough
    // have gathered. Kept apart from append() so that it can run after the
    // answer has gone.
    SpillChange spillIfDue();
    // Within a failure episode: messages gather in memory.
    bool spillFailed() const { return m_failed; }
    // Why the file failed, in the system's words (the latest episode's).
    QString spillError() const { return m_spillError; }
    // Bytes of messages written to the spill file.
    qint64 spilledBytes() const { return m_messages.bytesOnDisk(); }
    // Memory the chunks waiting for the file take.
    qint64 bytesInMemory() const;

    static constexpr qsizetype ChunkSize = ChunkStream::ChunkSize;
    // Chunks gathered in memory before they are written together.
    static constexpr int ChunksPerSpill = 4;
    // At most this many go at once, so a backlog after a failure moves to
    // disk over several spill points instead of holding up one.
    static constexpr int ChunksPerCall = 16;
    static constexpr std::chrono::milliseconds RetryInterval{1000};

private:
    struct Record;
    bool anyStreamDue() const;
    qint64 fullChunksHeld() const;
    void keepCacheSmall(qint64 spillStart);
    int openSpillFile();
    Record record(qint64 index) const;

    QStringList m_folders;
    UniqueFd m_file;
    std::atomic<int> m_fd{-1}; // m_file's, for readers
    UniqueFd m_directFile;     // the same file, past the cache
    std::atomic<int> m_directFd{-1};
    qint64 m_fileEnd = 0;
    // The file's cached pages before m_cacheKeptFrom are let go; each spill
    // lets go of the two before it, the older of them by then on disk.
    qint64 m_cacheKeptFrom = 0;
    qint64 m_lastSpillStart = 0;
    ChunkStream m_messages;
    ChunkStream m_records; // a Record a message
    ChunkStream m_answers;
    // The answer appended last, and where it stands in m_answers.
    QByteArray m_lastAnswer;
    qint64 m_lastAnswerOffset = -1;
    // Where each message begins, and the end of the last one.
    StableArray<qint64, 16, 65536> m_offsets;
    std::atomic<qint64> m_count{0};

    bool m_failed = false;
    QString m_spillError;
    qint64 m_retryAtChunks = 0;
    std::chrono::steady_clock::time_point m_lastAttempt;
};
