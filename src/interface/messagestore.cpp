#include "messagestore.h"

#include <cstring>

char *MessageStore::reserve(qsizetype bytes)
{
    if (bytes > m_freeBytes) {
        // A message larger than a chunk gets a chunk of its own; the rest of
        // the current chunk is given up, which costs at most one message.
        const qsizetype chunkBytes = std::max(bytes, ChunkSize);
        // Not zero-filled: pages are only touched when messages land in them.
        m_chunks.push_back(std::make_unique_for_overwrite<char[]>(size_t(chunkBytes)));
        m_free = m_chunks.back().get();
        m_freeBytes = chunkBytes;
    }
    char *place = m_free;
    m_free += bytes;
    m_freeBytes -= bytes;
    return place;
}

void MessageStore::append(QByteArrayView message)
{
    const qsizetype bytes = message.size();
    char *place = bytes > 0 ? reserve(bytes) : nullptr;
    if (bytes > 0)
        std::memcpy(place, message.data(), size_t(bytes));
    m_entries.push_back(Entry{place, bytes});
    m_totalBytes += bytes;
}

void MessageStore::clear()
{
    m_entries.clear();
    m_entries.shrink_to_fit();
    m_chunks.clear();
    m_free = nullptr;
    m_freeBytes = 0;
    m_totalBytes = 0;
}

QByteArrayView MessageStore::at(qint64 index) const
{
    const Entry &entry = m_entries.at(size_t(index));
    return QByteArrayView(entry.data, entry.size);
}
