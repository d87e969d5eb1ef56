#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The transaction logfile: opened for appending, one line per received
// message (its bytes exactly as they came, then CR LF). Each line is handed
// to the operating system in one write before the caller goes on, so a
// message that has been acknowledged is in the file even if the program dies
// at that moment.
class TransactionLog
{
public:
    TransactionLog() = default;
    ~TransactionLog();
    TransactionLog(const TransactionLog &) = delete;
    TransactionLog &operator=(const TransactionLog &) = delete;

    // `path` holds the file name's bytes (one character per byte); a name
    // without a directory is resolved against the current working directory.
    bool open(const QString &path);
    bool isOpen() const { return m_fd >= 0; }
    // Nothing happens when the log is not open.
    void close();

    // Appends the message and CR LF. Returns false when the log is not open
    // or the system refused the write; errorString() then says why.
    bool writeLine(QByteArrayView message);
    // A log deleted while open would take every later line out of sight. If
    // the file has gone, it is made again at its location and `lastLine`, the
    // line that went to the deleted file, is written there. Returns false
    // when that fails; errorString() then says why.
    bool reopenIfDeleted(QByteArrayView lastLine);

    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    int m_fd = -1;
    QString m_path;
    QString m_error;
};
