#pragma once

#include "sockets/socketio.h"
#include "system/unixfile.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include "sockets/retiringpool.h"

// One accepted TCP connection over a non-blocking socket. Its signals are
// raised on the thread that owns it, one at a time; any handler may close
// or delete it, and then hears nothing more of it. Errors are errno values.
//
// Reading goes in runs: back-to-back arrivals are read for at most 5 ms,
// then the event loop gets its turn and the run goes on from there.
class Connection : public QObject
{
    Q_OBJECT

public:
    // Takes over a connected socket. When it closes with answers still
    // queued they go to the pool (if any) to be delivered.
    Connection(UniqueFd fd, RetiringPool *pool, QObject *parent = nullptr);
    ~Connection() override;

    bool isConnected() const { return m_fd.isValid(); }
    // The peer's address ("" once closed); an IPv4 sender reads as plain
    // IPv4 ("127.0.0.1"), never IPv4-mapped IPv6.
    QString peerAddress() const;
    quint16 peerPort() const;

    // Every byte received and not yet taken.
    QByteArray takeData();
    // Queue the bytes for sending; never blocks. What the kernel does not
    // take at once goes out, in order, when the socket becomes writable. A
    // peer that lets more than MaxUnsent pile up loses its connection at
    // once, told as failed(ENOBUFS) from the event loop.
    void send(const QByteArray &bytes);
    // Bytes queued that the kernel has not taken yet.
    qint64 bytesToWrite() const { return m_outgoing.size(); }
    // Closed at once and raising nothing more; answers still queued go to
    // the retiring pool. Closing a closed connection does nothing.
    void close();

    static constexpr qsizetype MaxUnsent = 64 << 20;

signals:
    // Data has arrived; bytesWaiting is all that is waiting to be taken.
    void arrived(qint64 bytesWaiting);
    // A run of back-to-back arrivals is over (the sender paused, or the run
    // has had its share of time): the event loop is about to get its turn.
    void arrivalsSettled();
    // The peer ended the connection in order (not a reset); it is closed.
    void peerClosed();
    // The connection failed and is closed: ECONNRESET for a reset by the
    // peer, ENOBUFS for a peer that let MaxUnsent of answers pile up unread.
    void failed(int error);

private:
    // How a run of reads ended: nothing came; arrivals, then a pause; or
    // arrivals still coming when the run's time was up.
    enum class ReadRun { Nothing, Settled, TimeUp };

    void onReadable();
    // Reads arrivals one after another, the first one waited for patienceNs,
    // and tells when they pause; a run out of time goes on from the event loop.
    void readAndSettle(qint64 patienceNs);
    ReadRun readArrivals(qint64 patienceNs);
    void onWritable();
    // Hands the kernel what it takes now: 0 or the errno.
    int flush();
    void fail(int error);
    void dropOverflowing();
    // Closes the socket, or hands it to the pool when answers are still queued.
    void end(bool peerEnded);
    void closeSocket();

    QPointer<RetiringPool> m_pool;
    UniqueFd m_fd; // declared before the notifiers so they go first
    SocketIo::NotifierPtr m_reader;
    SocketIo::NotifierPtr m_writer;
    QByteArray m_received;
    QByteArray m_outgoing; // what the kernel has not taken yet, in order
    QByteArray m_readBuffer;
    // The error a send met, until it is raised. The kernel hands a reset to
    // the first call that asks, so a read after it sees only the end of data.
    int m_sendFailure = 0;
    // An error raised from the event loop after the socket was dropped; our
    // own close makes it stale.
    int m_pendingError = 0;
    // A run of reads out of time goes on from the event loop.
    bool m_readPosted = false;
};
