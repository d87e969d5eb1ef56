#pragma once

#include "sockets/tlsio.h"
#include "system/unixfile.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

// Connections closed, replaced or ended by their peer while answers were
// still queued for them keep delivering those answers here, out of sight,
// then end in order: our end of data once the kernel has it all, then the
// peer's read to its end, so that closing never resets data in flight.
// The pool raises nothing; a connection that moves nothing for 30 s, or
// fails, is simply closed.
class RetiringPool : public QObject
{
    Q_OBJECT

public:
    // At most this many connections retire at once (and 64 MiB, counting the
    // kernel's queues); past that the oldest goes first.
    static constexpr int MaxConnections = 32;

    explicit RetiringPool(QObject *parent = nullptr);
    ~RetiringPool() override;

    // Takes the connection over with what is still queued for it. A peer
    // that ended already is not read from again. A TLS session (ssl) gets
    // the rest written through it, then close_notify.
    void retire(UniqueFd fd, QByteArray unsent, bool peerEnded, TlsIo::SslPtr ssl = {});
    // Closes the oldest retiring connection at once, for a descriptor the
    // newest sender needs; false when none is retiring.
    bool giveUpOldest();
    // Closes every one of them at once (for Stop and Exit).
    void clear();
    int count() const { return int(m_retiring.size()); }

private:
    struct Retiring;

    Retiring *find(quint64 id) const;
    void onReadable(quint64 id);
    void onWritable(quint64 id);
    void close(quint64 id);
    void countKernelQueue(Retiring &r, int queued);
    void watch();

    // Oldest first, so the oldest is given up first when the pool runs full.
    std::map<quint64, std::unique_ptr<Retiring>> m_retiring;
    quint64 m_lastId = 0;
    qint64 m_bytes = 0; // our own queues and the kernel's, as last seen
    QByteArray m_readBuffer;
    QTimer m_watch;
};
