#pragma once

#include "interface/unixfile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <vector>

// --- Per-message details: the simplest in-memory stand-in; the store-find
// branch replaces this block (and its twin in messagestore.cpp) at merge.
struct MessageInfo
{
    qint64 arrivedMs = 0;      // ms since epoch when the message was complete
    qint64 firstArrivalMs = 0; // ms since epoch of its first piece
    qint32 arrivals = 1;       // arrivals it took
    enum class Kind : quint8 { Arrival, Block, Outside, Incomplete } kind = Kind::Arrival;
};
// --- end of the block

// Every message received since start-up, in order of arrival, each held once
// as its bytes. The bytes go to an append-only spill file, unlinked as soon
// as it is made, so a run of weeks keeps only a small index in memory (one
// offset a message); the newest messages wait in memory and are written in
// large chunks. Reading a message costs the same at the first and at the
// millionth. If the spill file cannot be made or written, the store keeps
// every later message in memory instead and says so once (spillFailed()).
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
    void clear();

    // --- Per-message details (stand-in block, replaced at merge) ---
    MessageInfo info(qint64 index) const;
    // Once per message, any time after append.
    void setAnswer(qint64 index, QByteArrayView answer, qint64 sentMs);
    // False: none sent (yet).
    bool answer(qint64 index, QByteArray *bytes, qint64 *sentMs) const;
    // The message's size without reading it (the list's Size column needs it).
    qint64 sizeOf(qint64 index) const { return m_offsets.at(size_t(index) + 1) - m_offsets.at(size_t(index)); }
    // --- end of the block

    qint64 size() const { return qint64(m_offsets.size()) - 1; }
    // The message's bytes, or only its first maxBytes.
    QByteArray at(qint64 index, qsizetype maxBytes = -1) const;
    qint64 totalBytes() const { return m_offsets.back(); }

    // Writes the full chunks waiting in memory to the spill file once enough
    // have gathered. Kept apart from append() so that it can run after the
    // answer has gone.
    void spillIfDue();
    // The spill file could not be made or written: messages stay in memory.
    bool spillFailed() const { return !m_spillError.isEmpty(); }
    QString spillError() const { return m_spillError; }
    // Bytes of messages written to the spill file.
    qint64 spilledBytes() const { return m_fileBytes; }

    static constexpr qsizetype ChunkSize = qsizetype(1) << 20;
    // Chunks gathered in memory before they are written together.
    static constexpr int ChunksPerSpill = 4;

private:
    void copyFromMemory(qint64 from, qint64 to, char *out) const;
    bool openSpillFile();

    QStringList m_folders;
    UniqueFd m_file;
    qint64 m_fileBytes = 0; // the first bytes of the run, on disk
    // The bytes from m_fileBytes on, in chunks of ChunkSize; the last one is
    // being filled.
    std::deque<std::unique_ptr<char[]>> m_chunks;
    // Where each message begins, and the end of the last one.
    std::vector<qint64> m_offsets{0};
    QString m_spillError;
    // --- Per-message details (stand-in block, replaced at merge) ---
    struct Details { MessageInfo info; bool answered = false; QByteArray answer; qint64 sentMs = 0; };
    std::vector<Details> m_details;
    // --- end of the block
};
