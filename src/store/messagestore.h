#pragma once

#include "store/chunkstream.h"
#include "store/messagereader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

// What is known of a received message besides its bytes.
struct MessageInfo
{
    // CR, LF and NUL bytes beside a message, outside any block, that are no
    // message of their own: how many, which, and the first few in order.
    struct Padding
    {
        static constexpr int Listed = 4;
        quint32 bytes = 0;  // held at its greatest past four thousand million
        quint8 seen = 0;    // a bit for each of CR, LF and NUL
        quint8 firsts = 0;  // the first Listed, two bits each from the lowest
        // `more` holds only CR, LF and NUL.
        void add(QByteArrayView more);
        bool isEmpty() const { return bytes == 0; }
        // The byte at `i`, below Listed and bytes.
        char at(int i) const;
        // Of one kind: bytes of it alone.
        bool isOneKind() const { return (seen & (seen - 1)) == 0; }
        bool operator==(const Padding &) const = default;
    };

    qint64 arrivedMs = 0;      // ms since epoch when the message was complete
    qint64 firstArrivalMs = 0; // ms since epoch of its first piece
    qint32 arrivals = 1;       // arrivals it took
    // Arrival: one arrival taken as one message; Block: a whole MLLP block;
    // Outside: bytes outside any block; Incomplete: a block still open when
    // its connection ended (the last two are not answered).
    enum class Kind : quint8 { Arrival, Block, Outside, Incomplete } kind = Kind::Arrival;
    // With whole MLLP messages: padding before the first message of a
    // connection, and padding after a message up to the next.
    Padding precededBy{};
    Padding followedBy{};
    // The connection it came on, as MessageStore::addSender() named it; 0: none.
    quint32 sender = 0;
    // The answer rules' line that decided its answer; 0: no rule did.
    quint16 ruleLine = 0;
    // What became of its answer. Withheld: a rule said never; Reset: a rule
    // reset the connection instead; AckNotAnswered: an acknowledgement, not
    // answered, since the answer takes its fields from the message.
    enum class Outcome : quint8 { Answered, AnsweredThenClosed, Withheld, Reset, AckNotAnswered };
    Outcome outcome = Outcome::Answered;
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
// Threads: one thread appends and calls everything here; other threads are
// given a MessageReader (reader()), which reads the messages published so far
// while the appending goes on. clear() starts a new run: readers taken before
// it fail their reads from then on, and what they hold goes with the last.
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
    qint64 openMessageBytes() const { return m_run->bytes.size() - offsetOf(size()); }
    void clear();

    // For another thread: reads the messages of this run.
    MessageReader reader() const { return MessageReader(m_run); }

    // --- The appending thread --------------------------------------------------
    qint64 size() const { return m_run->count.load(std::memory_order_relaxed); }
    qint64 totalBytes() const { return offsetOf(size()); }
    qint64 offsetOf(qint64 index) const { return m_run->offsets[index]; }
    // The message's size in bytes, without reading it.
    qint64 sizeOf(qint64 index) const { return offsetOf(index + 1) - offsetOf(index); }
    // The message's bytes (or its first maxBytes), or why they could not be read.
    ReadResult message(qint64 index, qsizetype maxBytes = -1) const { return reader().message(index, maxBytes); }
    // The same for a list that shows what it can: empty when unreadable.
    QByteArray at(qint64 index, qsizetype maxBytes = -1) const { return message(index, maxBytes).bytes; }

    MessageInfo info(qint64 index) const;
    // The answer sent for a message: once, any time after it was appended.
    void setAnswer(qint64 index, QByteArrayView answer, qint64 sentMs);
    // The rule that decided a message's answer and what became of it.
    void setOutcome(qint64 index, quint16 ruleLine, MessageInfo::Outcome outcome);
    // The padding after a message, as it has grown so far.
    void setFollowedBy(qint64 index, const MessageInfo::Padding &padding);
    // False while none has been sent.
    bool answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const;
    // A connection messages come on, described once ("127.0.0.1 port 4000"):
    // its number for MessageInfo::sender, never 0, until clear().
    quint32 addSender(QByteArrayView description);
    // The description of a number addSender() gave; empty for 0 or one unknown.
    QByteArray sender(quint32 id) const;

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
    qint64 spilledBytes() const { return m_run->bytes.bytesOnDisk(); }
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
    // The messages and the spill file; records and answers go to that file too.
    std::shared_ptr<MessageRun> m_run = std::make_shared<MessageRun>();
    qint64 m_fileEnd = 0;
    // The file's cached pages before m_cacheKeptFrom are let go; each spill
    // lets go of the two before it, the older of them by then on disk.
    qint64 m_cacheKeptFrom = 0;
    qint64 m_lastSpillStart = 0;
    ChunkStream m_records; // a Record a message
    ChunkStream m_answers;
    // The answer appended last, and where it stands in m_answers.
    QByteArray m_lastAnswer;
    qint64 m_lastAnswerOffset = -1;
    struct SenderText
    {
        qint64 offset;
        qint32 length;
    };
    std::vector<SenderText> m_senders; // in m_answers

    bool m_failed = false;
    QString m_spillError;
    qint64 m_retryAtChunks = 0;
    std::chrono::steady_clock::time_point m_lastAttempt;
};
