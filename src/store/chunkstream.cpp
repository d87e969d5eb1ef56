#include "chunkstream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {
// What a slot holds while its reader names no chunk.
const char ClaimedMark = 0;
const char *const Claimed = &ClaimedMark;

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
        char *memory = chunk.memory.load(std::memory_order_relaxed);
        if (!memory) {
            memory = m_spareCount > 0 ? m_spares[size_t(--m_spareCount)] : mapChunk();
            chunk.memory.store(memory, std::memory_order_relaxed);
        }
        const qsizetype n = std::min(size, ChunkSize - within);
        std::memcpy(memory + within, data, size_t(n));
        data += n;
        size -= n;
        m_size += n;
    }
}

int ChunkStream::overwrite(qint64 offset, const char *data, qsizetype size, const SpillFile &file)
{
    while (size > 0) {
        const Chunk &chunk = m_chunks[offset >> ChunkBits];
        const qsizetype within = qsizetype(offset & (ChunkSize - 1));
        const qsizetype n = std::min(size, ChunkSize - within);
        if (char *memory = chunk.memory.load(std::memory_order_relaxed))
            std::memcpy(memory + within, data, size_t(n));
        else if (const int error = pwriteWhole(file.fd(), data, n, chunk.diskOffset.load(std::memory_order_relaxed) + within))
            return error;
        data += n;
        size -= n;
        offset += n;
    }
    return 0;
}

int ChunkStream::spill(const SpillFile &file, qint64 &fileEnd, int &budget)
{
    letGoRetired();
    while (budget > 0 && fullChunksInMemory() > 0) {
        Chunk &chunk = m_chunks[m_firstInMemory];
        char *memory = chunk.memory.load(std::memory_order_relaxed);
        if (const int error = pwriteWhole(file.fd(), memory, ChunkSize, fileEnd))
            return error;
        chunk.diskOffset.store(fileEnd, std::memory_order_relaxed);
        // From here a reader that looks finds the chunk on disk.
        chunk.memory.store(nullptr, std::memory_order_seq_cst);
        if (named(memory))
            m_retired.push_back(memory);
        else
            letGo(memory);
        fileEnd += ChunkSize;
        ++m_firstInMemory;
        --budget;
    }
    return 0;
}

bool ChunkStream::named(const char *memory) const
{
    for (const std::atomic<const char *> &slot : m_reading) {
        if (slot.load(std::memory_order_seq_cst) == memory)
            return true;
    }
    return false;
}

void ChunkStream::letGo(char *memory)
{
    if (m_spareCount < SpareChunks)
        m_spares[size_t(m_spareCount++)] = memory;
    else
        unmapChunk(memory);
}

void ChunkStream::letGoRetired()
{
    std::erase_if(m_retired, [this](char *memory) {
        if (named(memory))
            return false;
        letGo(memory);
        return true;
    });
}

void ChunkStream::clear()
{
    for (qint64 i = m_firstInMemory; i < ((m_size + ChunkSize - 1) >> ChunkBits); ++i)
        unmapChunk(m_chunks[i].memory.exchange(nullptr, std::memory_order_relaxed));
    m_chunks.clear();
    for (char *memory : std::exchange(m_retired, {}))
        unmapChunk(memory);
    while (m_spareCount > 0)
        unmapChunk(m_spares[size_t(--m_spareCount)]);
    m_size = 0;
    m_firstInMemory = 0;
}

void SpillFile::open(UniqueFd file, UniqueFd direct)
{
    m_file = std::move(file);
    m_direct = std::move(direct);
    m_directFd.store(m_direct.get(), std::memory_order_release);
    m_fd.store(m_file.get(), std::memory_order_release);
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

// A reader's slot, claimed for one read: readers wait only for each other,
// and only when more of them read at once than there are slots.
class ChunkStream::Slot
{
public:
    explicit Slot(std::array<std::atomic<const char *>, ReaderSlots> &table) : m_slot(claim(table)) {}
    ~Slot() { m_slot.store(nullptr, std::memory_order_release); }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    // The chunk's memory, named here until let go, or null once it is on disk.
    const char *hold(const std::atomic<char *> &memory)
    {
        for (const char *seen; (seen = memory.load(std::memory_order_acquire));) {
            m_slot.store(seen, std::memory_order_seq_cst);
            if (memory.load(std::memory_order_seq_cst) == seen)
                return seen;
        }
        letGo();
        return nullptr;
    }
    // After the copy: the spill may take the memory.
    void letGo() { m_slot.store(Claimed, std::memory_order_release); }

private:
    static std::atomic<const char *> &claim(std::array<std::atomic<const char *>, ReaderSlots> &table)
    {
        for (;; std::this_thread::yield()) {
            for (std::atomic<const char *> &slot : table) {
                const char *unclaimed = nullptr;
                if (slot.compare_exchange_strong(unclaimed, Claimed, std::memory_order_acquire))
                    return slot;
            }
        }
    }

    std::atomic<const char *> &m_slot;
};

int ChunkStream::read(qint64 from, qint64 to, char *out, const SpillFile &file, bool passing) const
{
    Slot slot(m_reading);
    return readChunks(from, to, out, file, passing, &slot);
}

int ChunkStream::readOwn(qint64 from, qint64 to, char *out, const SpillFile &file) const
{
    return readChunks(from, to, out, file, false, nullptr);
}

int ChunkStream::readChunks(qint64 from, qint64 to, char *out, const SpillFile &file, bool passing,
                            Slot *slot) const
{
    while (from < to) {
        const Chunk &chunk = m_chunks[from >> ChunkBits];
        const qsizetype within = qsizetype(from & (ChunkSize - 1));
        const qsizetype n = qsizetype(std::min<qint64>(to - from, ChunkSize - within));
        const char *memory = slot ? slot->hold(chunk.memory) : chunk.memory.load(std::memory_order_relaxed);
        if (memory) {
            std::memcpy(out, memory + within, size_t(n));
            if (slot)
                slot->letGo();
        } else {
            // On disk: the file was set before the chunk moved there.
            const qint64 at = chunk.diskOffset.load(std::memory_order_relaxed) + within;
            const int directFd = passing ? file.directFd() : -1;
            // A file system that will not read past its cache is read through it.
            if (directFd < 0 || preadDirect(directFd, out, n, at) != 0) {
                if (const int error = preadWhole(file.fd(), out, n, at))
                    return error;
            }
        }
        out += n;
        from += n;
    }
    return 0;
}
