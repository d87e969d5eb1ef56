#pragma once

#include "store/chunkstream.h"
#include "store/stablearray.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

// The messages of one run (from start-up, or from a clear) as readers see
// them: their bytes, where each begins, how many are published and the file
// the bytes move to. The store appends to it; readers share it, so that a
// clear leaves it whole for as long as a reader still holds it.
struct MessageRun
{
    MessageRun() { offsets.grow(0) = 0; }

    ChunkStream bytes;
    SpillFile file;
    // Where each message begins, and the end of the last one.
    StableArray<qint64, 16, 65536> offsets;
    std::atomic<qint64> count{0};
    // Set when the store was cleared (or went): reads fail from then on.
    std::atomic<bool> cleared{false};
};

// What a read of a message gives: its bytes, or why not.
struct ReadResult
{
    // The error of a read from a store cleared after the reader was taken,
    // and of a read of a message past the last.
    static constexpr int Cleared = -1;
    static constexpr int NoSuchMessage = -2;

    QByteArray bytes;
    int error = 0; // an errno of the spill file's read, or one of the above
    bool ok() const { return error == 0; }
    QString reason() const { return reasonOf(error); }
    // In the system's words.
    static QString reasonOf(int error);
};

// Reads the received messages, and nothing else: what a thread other than the
// store's own is given. It reads the messages published when each call is
// made; once the store is cleared, every read fails with ReadResult::Cleared
// while size() and offsetOf() still tell of the messages it had. A copy is
// cheap; it may outlive the store.
class MessageReader
{
public:
    explicit MessageReader(std::shared_ptr<const MessageRun> run) : m_run(std::move(run)) {}

    qint64 size() const { return m_run->count.load(std::memory_order_acquire); }
    // Where message `index` (up to size()) begins in the run's bytes; the end
    // of the last one for index size().
    qint64 offsetOf(qint64 index) const { return m_run->offsets[index]; }
    qint64 sizeOf(qint64 index) const { return offsetOf(index + 1) - offsetOf(index); }
    qint64 totalBytes() const { return offsetOf(size()); }
    bool cleared() const { return m_run->cleared.load(std::memory_order_acquire); }

    // The message's bytes, or only its first maxBytes.
    ReadResult message(qint64 index, qsizetype maxBytes = -1) const;
    // A passing read (a search going through once) reads what is on disk past
    // the system's cache, instead of filling it with what is not read again.
    enum class Read { Kept, Passing };
    // Bytes [from, to) of the published ones into `out`: 0, an errno, or
    // ReadResult::Cleared.
    int readBytes(qint64 from, qint64 to, char *out, Read how = Read::Kept) const;

private:
    std::shared_ptr<const MessageRun> m_run;
};
