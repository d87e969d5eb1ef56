#pragma once

#include "store/stablearray.h"

#include <QtGlobal>

#include <array>
#include <memory>
#include <mutex>

// Memory for reads past the system's cache, on huge pages where the system
// has them: the disk then pins and releases a few pages a read, not one per
// 4 KiB. Null when there is none to be had.
struct FreeReadBuffer
{
    void operator()(char *p) const;
};
using ReadBuffer = std::unique_ptr<char, FreeReadBuffer>;
ReadBuffer makeReadBuffer(qsizetype size);

// An append-only run of bytes held in chunks of ChunkSize: the newest in
// memory, full ones moved on request to the end of a spill file that several
// streams share. One thread appends and spills; any thread may read bytes
// that the appender has published, since the only step that takes a chunk
// away from under a reader (its move to disk) and the reads of memory hold
// one lock. Appending takes no lock.
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
    int overwrite(qint64 offset, const char *data, qsizetype size, int fd);
    // Full chunks still in memory.
    qint64 fullChunksInMemory() const { return (m_size >> ChunkBits) - m_firstInMemory; }
    qint64 chunksInMemory() const { return ((m_size + ChunkSize - 1) >> ChunkBits) - m_firstInMemory; }
    qint64 bytesOnDisk() const { return m_firstInMemory * ChunkSize; }
    // Moves up to `budget` of the oldest full chunks to `fileEnd` in the file
    // and on, counting them off the budget: 0, or errno of the write that
    // failed (that chunk stays in memory, the file's end where it was).
    int spill(int fd, qint64 &fileEnd, int &budget);
    void clear();

    // --- Any thread ----------------------------------------------------------
    // Published bytes [from, to) into `out`: false when the file would not give them.
    // `directFd`, the file opened past the system's cache, if given, reads
    // bytes on disk without filling that cache.
    bool read(qint64 from, qint64 to, char *out, int fd, int directFd = -1) const;

private:
    struct Chunk
    {
        char *memory = nullptr; // while in memory
        qint64 diskOffset = 0;  // once in the file
    };
    // 2^24 chunks: sixteen terabytes a stream.
    StableArray<Chunk, 12, 4096> m_chunks;
    // Chunks moved to disk whose pages are kept for the next ones: a new
    // chunk then costs no page faults, and a spill no unmapping.
    static constexpr int SpareChunks = 4;
    std::array<char *, SpareChunks> m_spares{};
    int m_spareCount = 0;
    qint64 m_size = 0;
    qint64 m_firstInMemory = 0;
    mutable std::mutex m_memoryLock;
};

// All of `size` bytes at `offset`: 0, or the errno of why not (a write that
// takes nothing means the disk is full).
int preadWhole(int fd, char *data, qsizetype size, qint64 offset);
int pwriteWhole(int fd, const char *data, qsizetype size, qint64 offset);
