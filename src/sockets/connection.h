#pragma once

#include "sockets/socketio.h"
#include "sockets/tlsio.h"
#include "system/unixfile.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

#include "sockets/retiringpool.h"

class TlsContext;

// One accepted TCP connection over a non-blocking socket. Its signals are
// raised on the thread that owns it, one at a time; any handler may close
// or delete it, and then hears nothing more of it. Errors are errno values.
//
// Reading goes in runs: back-to-back arrivals are read for at most 5 ms,
// then the event loop gets its turn and the run goes on from there.
//
// With TLS it starts in the server's handshake, raising nothing but
// secured() or handshakeFailed(); once secured it behaves as a plain one.
class Connection : public QObject
{
    Q_OBJECT

public:
    // Takes over a connected socket. When it closes with answers still
    // queued they go to the pool (if any) to be delivered. With tls the
    // socket speaks TLS only, its handshake bounded by the context's timeout.
    Connection(UniqueFd fd, RetiringPool *pool, std::shared_ptr<TlsContext> tls = {},
               QObject *parent = nullptr);
    ~Connection() override;

    struct TlsDetails
    {
        QString protocol;    // "TLSv1.3"
        QString cipher;      // "TLS_AES_256_GCM_SHA384"
        QString peerSubject; // "CN=sender,O=Test"; empty without a client certificate
    };

    bool isSecure() const { return m_tls != nullptr; }
    bool isHandshaking() const { return m_handshaking; }
    // Once secured (and after it closes); empty before.
    TlsDetails tlsDetails() const { return m_details; }

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
    // the retiring pool. A secured TLS connection says close_notify. Closing
    // a closed connection does nothing.
    void close();
    // Ended abortively: the peer sees a reset, and whatever is still queued
    // is dropped. It raises nothing more.
    void reset();

    static constexpr qsizetype MaxUnsent = 64 << 20;

    // After an arrival the connection is watched for a few microseconds for
    // the next, which a sender waiting for each answer sends at once. Off,
    // it reads what is there and lets the event loop turn: among several
    // senders, none waits while another's connection is watched.
    void setWatchForNext(bool watch) { m_watchForNext = watch; }
    // For a caller that watches several connections together: the socket,
    // and reading what has come there as its notifier would.
    int descriptor() const { return m_fd.get(); }
    void readNow() { onReadable(); }

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
    // ECONNRESET for a reset, EPROTO for a TLS failure after the handshake.
    void failed(int error);
    // The TLS handshake is complete; arrivals may follow at once.
    void secured();
    // The TLS handshake failed (the library's words, a timeout or the
    // sender's close) and the connection is closed; nothing follows it.
    void handshakeFailed(const QString &reason);

private:
    // How a run of reads ended: nothing came; arrivals, then a pause; or
    // arrivals still coming when the run's time was up.
    enum class ReadRun { Nothing, Settled, TimeUp };

    void onReadable();
    qint64 nextArrivalWait() const;
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

    void startTls();
    void closeTls();
    SocketIo::ReadResult readTls(qint64 patienceNs);
    void continueHandshake();
    void failHandshake(const QString &reason);
    void onTlsReadable();
    void onTlsWritable();
    int flushTls();

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
    bool m_watchForNext = true;

    std::shared_ptr<TlsContext> m_tls;
    TlsIo::SslPtr m_ssl; // null on a plain connection
    TlsDetails m_details;
    QTimer m_handshakeTimer;
    bool m_handshaking = false;
    bool m_readWantsWrite = false; // the session must write before it reads on
    bool m_writeWantsRead = false; // and the other way round
};
