#include "chunkstream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {
// The most a read copies from memory while it holds the lock.
constexpr qsizetype MemoryReadStep = qsizetype(64) << 10;

// Chunks are mapped, not taken from the heap, so that chunks moved to disk
// beyond the few kept for reuse give their memory back to the system at
// once; pages are only touched as bytes land in them.
char *mapChunk()
{
    void *p = ::mmap(nullptr, size_t(ChunkStream::ChunkSize), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}

void unmapChunk(char *chunk)
{
    if (chunk)
        ::munmap(chunk, size_t(ChunkStream::ChunkSize));
}
} // namespace

int preadWhole(int fd, char *data, qsizetype size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        size -= n;
        offset += n;
    }
    return 0;
}

int pwriteWhole(int fd, const char *data, qsizetype size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), offset);
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

void ChunkStream::append(const char *data, qsizetype size)
{
    while (size > 0) {
        const qint64 index = m_size >> ChunkBits;
        const qsizetype within = qsizetype(m_size & (ChunkSize - 1));
        Chunk &chunk = within == 0 ? m_chunks.grow(index) : m_chunks[index];
        // Readers never look past the published end, where this chunk is new.
        if (!chunk.memory)
            chunk.memory = m_spareCount > 0 ? m_spares[size_t(--m_spareCount)] : mapChunk();
        const qsizetype n = std::min(size, ChunkSize - within);
        std::memcpy(chunk.memory + within, data, size_t(n));
        data += n;
        size -= n;
        m_size += n;
    }
}

int ChunkStream::overwrite(qint64 offset, const char *data, qsizetype size, int fd)
{
    while (size > 0) {
        const Chunk &chunk = m_chunks[offset >> ChunkBits];
        const qsizetype within = qsizetype(offset & (ChunkSize - 1));
        const qsizetype n = std::min(size, ChunkSize - within);
        if (chunk.memory)
            std::memcpy(chunk.memory + within, data, size_t(n));
        else if (const int error = pwriteWhole(fd, data, n, chunk.diskOffset + within))
            return error;
        data += n;
        size -= n;
        offset += n;
    }
    return 0;
}

int ChunkStream::spill(int fd, qint64 &fileEnd, int &budget)
{
    while (budget > 0 && fullChunksInMemory() > 0) {
        Chunk &chunk = m_chunks[m_firstInMemory];
        if (const int error = pwriteWhole(fd, chunk.memory, ChunkSize, fileEnd))
            return error;
        char *memory = nullptr;
        {
            const std::lock_guard lock(m_memoryLock);
            memory = std::exchange(chunk.memory, nullptr);
            chunk.diskOffset = fileEnd;
        }
        if (m_spareCount < SpareChunks)
            m_spares[size_t(m_spareCount++)] = memory;
        else
            unmapChunk(memory);
        fileEnd += ChunkSize;
        ++m_firstInMemory;
        --budget;
    }
    return 0;
}

void ChunkStream::clear()
{
    {
        const std::lock_guard lock(m_memoryLock);
        for (qint64 i = m_firstInMemory; i < ((m_size + ChunkSize - 1) >> ChunkBits); ++i)
            unmapChunk(std::exchange(m_chunks[i].memory, nullptr));
        m_chunks.clear();
    }
    while (m_spareCount > 0)
        unmapChunk(m_spares[size_t(--m_spareCount)]);
    m_size = 0;
    m_firstInMemory = 0;
}

void FreeReadBuffer::operator()(char *p) const
{
    std::free(p);
}

ReadBuffer makeReadBuffer(qsizetype size)
{
    constexpr size_t HugePage = size_t(2) << 20;
    const size_t bytes = (size_t(size) + HugePage - 1) & ~(HugePage - 1);
    ReadBuffer buffer(static_cast<char *>(std::aligned_alloc(HugePage, bytes)));
    // Only advice: without huge pages the reads work as well.
    if (buffer)
        ::madvise(buffer.get(), bytes, MADV_HUGEPAGE);
    return buffer;
}

namespace {
constexpr qint64 DiskBlock = ChunkStream::DiskBlock;

// A read past the cache takes offsets and memory aligned to the disk's
// blocks. Aligned memory at an aligned offset takes the disk's bytes
// directly; the rest goes through a read buffer the reading thread keeps.
// Pages pinned for a read are released as it completes, on the core that
// takes the disk's interrupt, holding up whatever runs there.
int preadDirect(int fd, char *out, qsizetype size, qint64 offset)
{
    if (((reinterpret_cast<quintptr>(out) | quintptr(offset)) & quintptr(DiskBlock - 1)) == 0) {
        const qsizetype whole = size & ~qsizetype(DiskBlock - 1);
        if (const int error = whole > 0 ? preadWhole(fd, out, whole, offset) : 0)
            return error;
        out += whole;
        offset += whole;
        size -= whole;
        if (size == 0)
            return 0;
    }
    const qint64 first = offset & ~(DiskBlock - 1);
    const qint64 last = (offset + size + DiskBlock - 1) & ~(DiskBlock - 1);
    const auto length = size_t(last - first);
    thread_local ReadBuffer buffer;
    thread_local size_t capacity = 0;
    if (capacity < length) {
        buffer = makeReadBuffer(qsizetype(length));
        capacity = buffer ? length : 0;
        if (!buffer)
            return ENOMEM;
    }
    if (const int error = preadWhole(fd, buffer.get(), qsizetype(length), first))
        return error;
    std::memcpy(out, buffer.get() + (offset - first), size_t(size));
    return 0;
}
} // namespace

bool ChunkStream::read(qint64 from, qint64 to, char *out, int fd, int directFd) const
{
    while (from < to) {
        const qsizetype within = qsizetype(from & (ChunkSize - 1));
        qsizetype n = qsizetype(std::min<qint64>(to - from, ChunkSize - within));
        qint64 diskOffset = -1;
        {
            const std::lock_guard lock(m_memoryLock);
            const Chunk &chunk = m_chunks[from >> ChunkBits];
            if (chunk.memory) {
                // A few microseconds at a time: a reader of low priority that
                // loses its core here keeps a spill waiting no longer.
                n = std::min(n, MemoryReadStep);
                std::memcpy(out, chunk.memory + within, size_t(n));
            } else {
                diskOffset = chunk.diskOffset + within;
            }
        }
        // A file system that will not read past its cache is read through it.
        if (diskOffset >= 0 && (directFd < 0 || preadDirect(directFd, out, n, diskOffset) != 0)
            && preadWhole(fd, out, n, diskOffset) != 0)
            return false;
        out += n;
        from += n;
    }
    return true;
}
