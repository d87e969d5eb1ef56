#pragma once

#include "store/stablearray.h"
#include "system/unixfile.h"

#include <QtGlobal>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

// Memory for reads past the system's cache, on huge pages where the system
// has them: the disk then pins and releases a few pages a read, not one per
// 4 KiB. Null when there is none to be had.
struct FreeReadBuffer
{
    void operator()(char *p) const;
};
using ReadBuffer = std::unique_ptr<char, FreeReadBuffer>;
ReadBuffer makeReadBuffer(qsizetype size);

// The file that full chunks move to, as readers find it. Its descriptors are
// set before the first chunk moves there, so a reader that learns a chunk is
// on disk (through the chunk, with acquire) finds them set too.
class SpillFile
{
public:
    // --- The appending thread ---------------------------------------------
    bool isOpen() const { return m_file.isValid(); }
    // `direct`, the same file opened past the system's cache, if there is one.
    void open(UniqueFd file, UniqueFd direct);

    // --- Any thread ----------------------------------------------------------
    int fd() const { return m_fd.load(std::memory_order_acquire); }
    int directFd() const { return m_directFd.load(std::memory_order_acquire); }

private:
    UniqueFd m_file;
    UniqueFd m_direct;
    std::atomic<int> m_fd{-1};
    std::atomic<int> m_directFd{-1};
};

// An append-only run of bytes held in chunks of ChunkSize: the newest in
// memory, full ones moved on request to the end of a spill file. One thread
// appends and spills; any thread may read bytes that the appender has
// published. Neither side ever waits for the other: see ReaderSlots.
class ChunkStream
{
public:
    static constexpr int ChunkBits = 20;
    static constexpr qsizetype ChunkSize = qsizetype(1) << ChunkBits;
    // Reads past the cache go straight into memory in whole blocks of this
    // size, at offsets of whole blocks; the rest takes a detour.
    static constexpr qint64 DiskBlock = 4096;

    ChunkStream() = default;
    ~ChunkStream() { clear(); }
    ChunkStream(const ChunkStream &) = delete;
    ChunkStream &operator=(const ChunkStream &) = delete;

    // --- The appending thread ---------------------------------------------
    qint64 size() const { return m_size; }
    void append(const char *data, qsizetype size);
    // Changes bytes already appended, in memory or in the file: 0 or errno.
    // For bytes no other thread reads.
    int overwrite(qint64 offset, const char *data, qsizetype size, const SpillFile &file);
    // Full chunks still in memory.
    qint64 fullChunksInMemory() const { return (m_size >> ChunkBits) - m_firstInMemory; }
    qint64 chunksInMemory() const { return ((m_size + ChunkSize - 1) >> ChunkBits) - m_firstInMemory; }
    qint64 bytesOnDisk() const { return m_firstInMemory * ChunkSize; }
    // Moves up to `budget` of the oldest full chunks to `fileEnd` in the file
    // and on, counting them off the budget: 0, or errno of the write that
    // failed (that chunk stays in memory, the file's end where it was).
    int spill(const SpillFile &file, qint64 &fileEnd, int &budget);
    // While no other thread reads.
    void clear();
    // Bytes [from, to) as read() below, for the appending thread, which
    // nothing is moved from under.
    int readOwn(qint64 from, qint64 to, char *out, const SpillFile &file) const;

    // --- Any thread ----------------------------------------------------------
    // Published bytes [from, to) into `out`: 0, or the errno of the file's
    // read. A `passing` read takes what is on disk past the system's cache
    // (where the file system allows) instead of filling it.
    int read(qint64 from, qint64 to, char *out, const SpillFile &file, bool passing = false) const;

    // A reader names the chunk memory it copies from in a slot, then checks
    // the chunk still holds it; a spill frees or reuses moved memory only once
    // no slot names it (else at a later spill), so it never waits for a reader.
    static constexpr int ReaderSlots = 8;

private:
    struct Chunk
    {
        std::atomic<char *> memory{nullptr}; // while in memory
        std::atomic<qint64> diskOffset{0};   // once in the file
    };
    class Slot;
    int readChunks(qint64 from, qint64 to, char *out, const SpillFile &file, bool passing, Slot *slot) const;
    bool named(const char *memory) const;
    void letGo(char *memory);
    void letGoRetired();

    // 2^24 chunks: sixteen terabytes a stream.
    StableArray<Chunk, 12, 4096> m_chunks;
    // Chunks moved to disk whose pages are kept for the next ones: a new
    // chunk then costs no page faults, and a spill no unmapping.
    static constexpr int SpareChunks = 4;
    std::array<char *, SpareChunks> m_spares{};
    int m_spareCount = 0;
    // Moved to disk while a reader named them.
    std::vector<char *> m_retired;
    qint64 m_size = 0;
    qint64 m_firstInMemory = 0;
    // Written by readers: a line of its own, away from the appender's fields.
    alignas(64) mutable std::array<std::atomic<const char *>, ReaderSlots> m_reading{};
};

// All of `size` bytes at `offset`: 0, or the errno of why not (a write that
// takes nothing means the disk is full).
int preadWhole(int fd, char *data, qsizetype size, qint64 offset);
int pwriteWhole(int fd, const char *data, qsizetype size, qint64 offset);
