#pragma once

#include "system/unixfile.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <sys/types.h>
#include <vector>

// The transaction logfile: opened for appending, one line per received
// message (its bytes exactly as they came, then CR LF). Each line is handed
// to the operating system in one write before the caller goes on, so a
// message that has been acknowledged is in the file even if the program dies
// at that moment.
//
// The file only ever holds whole lines. A line the system cannot take whole
// (a full disk, a device that would block) is cut back out of the file and
// kept, in order with every later line, until a write succeeds again. Those
// pending lines outlive close() and go first into the next log opened.
class TransactionLog
{
public:
    TransactionLog() = default;
    ~TransactionLog();
    TransactionLog(const TransactionLog &) = delete;
    TransactionLog &operator=(const TransactionLog &) = delete;

    // `path` holds the file name's bytes (one character per byte); a name
    // without a directory is resolved against the current working directory.
    // Opening never blocks; a location that is neither a regular file nor a
    // character device is refused.
    bool open(const QString &path);
    bool isOpen() const { return m_open; }
    // Nothing happens when the log is not open. Pending lines are kept.
    void close();

    // Appends the pending lines, then the message and CR LF. Returns false
    // when the log is not open (the message is dropped) or when this line or
    // an earlier one could not be written (it is kept pending); errorString()
    // then says why.
    bool writeLine(const QByteArray &message);
    // A line that comes in pieces (a message gathered over many arrivals):
    // each piece goes to the system as it comes, the line end after the last.
    bool writeLinePart(const QByteArray &bytes);
    bool endLine() { return writePiece({{}, true}); }
    // Appends the pending lines; true when none is left.
    bool writePending();
    bool hasPending() const { return !m_pending.empty(); }

    // Compares the open file with what its location names now, to be called
    // after each run of writes (one system call, so not after every line). A file deleted since is made again at its location
    // with the lines written to it since the last call; a file renamed away
    // or replaced (rotation) leaves them where they are and the next line
    // goes to the file at the location. Returns false when the location
    // cannot be opened or written; errorString() then says why.
    bool followLocation();

    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    bool openDescriptor();
    void closeDescriptor();
    struct Piece
    {
        QByteArray bytes;
        bool endsLine = true; // CR LF follows the bytes
    };
    bool writePiece(Piece piece);
    bool writeWhole(const Piece &piece);
    void cutBack(size_t written);

    UniqueFd m_fd;
    bool m_open = false;
    bool m_regular = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    QString m_path;
    QByteArray m_name;
    QString m_error;
    // Written to the open file since followLocation() last looked.
    std::vector<Piece> m_unchecked;
    // Not in any file yet, oldest first.
    std::deque<Piece> m_pending;
};
