#pragma once

#include <QByteArrayView>

#include <memory>
#include <vector>

// Every message received since start-up, in order of arrival, each held once
// as its bytes. Messages are packed into large chunks that never move, so
// appending costs the same at the millionth message as at the first and
// costs little more memory than the bytes themselves.
class MessageStore
{
public:
    MessageStore() = default;
    MessageStore(const MessageStore &) = delete;
    MessageStore &operator=(const MessageStore &) = delete;

    void append(QByteArrayView message);
    void clear();

    qint64 size() const { return qint64(m_entries.size()); }
    QByteArrayView at(qint64 index) const;
    qint64 totalBytes() const { return m_totalBytes; }

private:
    struct Entry
    {
        const char *data;
        qsizetype size;
    };
    static constexpr qsizetype ChunkSize = qsizetype(1) << 20;

    char *reserve(qsizetype bytes);

    std::vector<std::unique_ptr<char[]>> m_chunks;
    std::vector<Entry> m_entries;
    char *m_free = nullptr;
    qsizetype m_freeBytes = 0;
    qint64 m_totalBytes = 0;
};
