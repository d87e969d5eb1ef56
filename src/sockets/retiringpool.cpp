#include "sockets/retiringpool.h"

#include "sockets/socketio.h"

#include <QElapsedTimer>

#include <sys/socket.h>

#include <vector>

using namespace SocketIo;

namespace {
// What the pool may hold, in our own queues and the kernel's, all of it together.
constexpr qint64 MaxBytes = 64 << 20;
// A retiring connection that moves nothing for this long is given up.
constexpr qint64 PatienceMs = 30'000;
constexpr int WatchMs = 1'000;
} // namespace

struct RetiringPool::Retiring
{
    UniqueFd fd; // declared first, so the notifiers and the session go before it
    TlsIo::SslPtr ssl;
    NotifierPtr reader;
    NotifierPtr writer;
    QByteArray outgoing;
    bool peerEnded = false;
    bool finishedSending = false;
    int kernelQueued = 0; // as last seen, counted in the pool's bytes
    QElapsedTimer sinceProgress;
};

RetiringPool::RetiringPool(QObject *parent) : QObject(parent), m_readBuffer(ReadChunk, Qt::Uninitialized)
{
    m_watch.setInterval(WatchMs);
    connect(&m_watch, &QTimer::timeout, this, &RetiringPool::watch);
}

RetiringPool::~RetiringPool() = default;

void RetiringPool::retire(UniqueFd fd, QByteArray unsent, bool peerEnded, TlsIo::SslPtr ssl)
{
    const int queued = kernelQueued(fd.get());
    while (!m_retiring.empty()
           && (int(m_retiring.size()) >= MaxConnections || m_bytes + unsent.size() + queued > MaxBytes))
        giveUpOldest();

    const quint64 id = ++m_lastId;
    auto r = std::make_unique<Retiring>();
    r->fd = std::move(fd);
    r->ssl = std::move(ssl);
    r->outgoing = std::move(unsent);
    r->kernelQueued = queued;
    r->peerEnded = peerEnded;
    r->sinceProgress.start();
    r->reader.reset(new QSocketNotifier(r->fd.get(), QSocketNotifier::Read, this));
    r->reader->setEnabled(!peerEnded);
    connect(r->reader.get(), &QSocketNotifier::activated, this, [this, id] { onReadable(id); });
    r->writer.reset(new QSocketNotifier(r->fd.get(), QSocketNotifier::Write, this));
    connect(r->writer.get(), &QSocketNotifier::activated, this, [this, id] { onWritable(id); });
    m_bytes += r->outgoing.size() + queued;
    m_retiring.emplace(id, std::move(r));
    if (!m_watch.isActive())
        m_watch.start();
}

bool RetiringPool::giveUpOldest()
{
    if (m_retiring.empty())
        return false;
    close(m_retiring.begin()->first);
    return true;
}

void RetiringPool::clear()
{
    m_retiring.clear();
    m_bytes = 0;
    m_watch.stop();
}

RetiringPool::Retiring *RetiringPool::find(quint64 id) const
{
    const auto it = m_retiring.find(id);
    return it == m_retiring.end() ? nullptr : it->second.get();
}

void RetiringPool::onWritable(quint64 id)
{
    Retiring *r = find(id);
    if (!r)
        return;
    const qsizetype before = r->outgoing.size();
    bool wantRead = false; // with renegotiation off, a session only writes here
    const int error = r->ssl ? TlsIo::sendQueued(r->ssl.get(), r->outgoing, &wantRead)
                             : sendQueued(r->fd.get(), r->outgoing);
    m_bytes -= before - r->outgoing.size();
    if (error != 0) {
        close(id);
        return;
    }
    // What went is in the kernel's queue now, and still counts.
    countKernelQueue(*r, kernelQueued(r->fd.get()));
    if (r->outgoing.size() < before)
        r->sinceProgress.restart();
    if (!r->outgoing.isEmpty())
        return;
    r->writer.reset();
    r->finishedSending = true;
    if (r->ssl)
        TlsIo::shutdown(r->ssl.get());
    ::shutdown(r->fd.get(), SHUT_WR);
    if (r->peerEnded)
        close(id);
}

void RetiringPool::onReadable(quint64 id)
{
    Retiring *r = find(id);
    if (!r)
        return;
    // Whatever the peer still sends is read and dropped: unread data would
    // turn our close into a reset. A TLS session only writes from here on,
    // so its records are dropped unread too.
    QByteArray dropped;
    const ReadResult read = readWaiting(r->fd.get(), m_readBuffer.data(), dropped);
    if (read.bytes > 0)
        r->sinceProgress.restart();
    if (read.error != 0) {
        close(id);
    } else if (read.peerClosed) {
        r->peerEnded = true;
        if (r->finishedSending)
            close(id);
        else
            r->reader->setEnabled(false);
    }
}

void RetiringPool::close(quint64 id)
{
    const auto it = m_retiring.find(id);
    if (it == m_retiring.end())
        return;
    m_bytes -= it->second->outgoing.size() + it->second->kernelQueued;
    m_retiring.erase(it);
    if (m_retiring.empty())
        m_watch.stop();
}

void RetiringPool::countKernelQueue(Retiring &r, int queued)
{
    m_bytes += queued - r.kernelQueued;
    r.kernelQueued = queued;
}

void RetiringPool::watch()
{
    std::vector<quint64> stuck;
    for (const auto &[id, r] : m_retiring) {
        // The kernel's queue shrinking means the peer is reading: that is progress too.
        if (const int queued = kernelQueued(r->fd.get()); queued != r->kernelQueued) {
            countKernelQueue(*r, queued);
            r->sinceProgress.restart();
        } else if (r->sinceProgress.hasExpired(PatienceMs)) {
            stuck.push_back(id);
        }
    }
    for (const quint64 id : stuck)
        close(id);
}
