// The senders' connections: accepted, replaced or kept side by side, closed
// when idle, refused past the most allowed.

#include "engine/interfaceengine.h"

#include "sockets/errornumbers.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QScopedValueRollback>

#include <poll.h>

#include <algorithm>

namespace {
QString endpoint(const Connection &connection)
{
    return QStringLiteral("%1 port %2").arg(connection.peerAddress()).arg(connection.peerPort());
}

// As the From column, the viewer and the connect line name the sender.
QString describe(const Connection &connection)
{
    if (!connection.isSecure())
        return endpoint(connection);
    const Connection::TlsDetails tls = connection.tlsDetails();
    QStringList parts{tls.protocol, tls.cipher};
    if (!tls.peerSubject.isEmpty())
        parts << tls.peerSubject;
    return QStringLiteral("%1 (%2)").arg(endpoint(connection), parts.join(QLatin1String(", ")));
}
} // namespace

int InterfaceEngine::connectionCount() const
{
    return int(std::count_if(m_links.begin(), m_links.end(),
                             [](const auto &link) { return link->connection->isConnected(); }));
}

qint64 InterfaceEngine::answerBytesQueued() const
{
    qint64 queued = 0;
    for (const auto &link : m_links)
        queued += link->connection->bytesToWrite();
    return queued;
}

InterfaceEngine::Link *InterfaceEngine::findLink(quint64 serial) const
{
    // Accepted in order of their serials, and kept so.
    const auto found = std::lower_bound(m_links.begin(), m_links.end(), serial,
                                        [](const auto &link, quint64 s) { return link->serial < s; });
    return found != m_links.end() && (*found)->serial == serial ? found->get() : nullptr;
}

void InterfaceEngine::dispose(std::unique_ptr<Connection> connection, QObject *parent)
{
    // This may run inside the connection's own signal: the object goes once
    // that has returned (or with the engine); closed, it raises nothing more.
    connection->close();
    connection->setParent(parent);
    connection.release()->deleteLater();
}

void InterfaceEngine::removeLink(Link &link)
{
    endConnection(link);
    const auto found = std::find_if(m_links.begin(), m_links.end(),
                                    [&link](const auto &l) { return l.get() == &link; });
    if (found == m_links.end())
        return;
    dispose(std::move(link.connection), this);
    m_links.erase(found);
    if (qsizetype(m_links.size()) < m_maxSenders)
        m_fullTold = false;
    shareReading();
    emit connectionsChanged();
}

void InterfaceEngine::closeConnections()
{
    while (!m_links.empty())
        removeLink(*m_links.back());
    for (std::unique_ptr<Connection> &connection : m_handshakes)
        dispose(std::move(connection), this);
    m_handshakes.clear();
}

void InterfaceEngine::connectionAccepted()
{
    std::unique_ptr<Connection> accepted = m_listener.takeConnection();
    if (!accepted)
        return;
    if (!accepted->isHandshaking()) {
        admit(std::move(accepted));
        return;
    }
    // A sender only once its handshake is over: a port scanner or a plain
    // client cannot replace or crowd out the senders that are there.
    Connection *connection = accepted.get();
    connect(connection, &Connection::secured, this, [this, connection] { handshakeDone(connection); });
    // A failed connection is closed by then: its endpoint is taken now.
    connect(connection, &Connection::handshakeFailed, this,
            [this, connection, where = endpoint(*connection)](const QString &reason) {
                handshakeFailed(connection, where, reason);
            });
    if (qsizetype(m_handshakes.size()) >= MostHandshakes) {
        // A storm of handshakes that never end gives way to the newest.
        std::unique_ptr<Connection> oldest = std::move(m_handshakes.front());
        m_handshakes.erase(m_handshakes.begin());
        emit connectionNotice(QStringLiteral("The TLS handshake with %1 was given up: %2 more were waiting.")
                                      .arg(endpoint(*oldest))
                                      .arg(MostHandshakes));
        dispose(std::move(oldest), this);
    }
    m_handshakes.push_back(std::move(accepted));
}

std::unique_ptr<Connection> InterfaceEngine::takeHandshake(Connection *connection)
{
    const auto found = std::find_if(m_handshakes.begin(), m_handshakes.end(),
                                    [connection](const auto &c) { return c.get() == connection; });
    if (found == m_handshakes.end())
        return {};
    std::unique_ptr<Connection> taken = std::move(*found);
    m_handshakes.erase(found);
    return taken;
}

void InterfaceEngine::handshakeDone(Connection *connection)
{
    std::unique_ptr<Connection> secured = takeHandshake(connection);
    if (!secured)
        return;
    // Its signals from here on are a sender's.
    secured->disconnect(this);
    admit(std::move(secured));
}

void InterfaceEngine::handshakeFailed(Connection *connection, const QString &where, const QString &reason)
{
    std::unique_ptr<Connection> failed = takeHandshake(connection);
    if (!failed)
        return;
    emit connectionNotice(QStringLiteral("The TLS handshake with %1 failed: %2").arg(where, reason));
    dispose(std::move(failed), this);
}

void InterfaceEngine::admit(std::unique_ptr<Connection> accepted)
{
    const QString description = describe(*accepted);
    if (m_several && qsizetype(m_links.size()) >= m_maxSenders) {
        // Those already there go on undisturbed.
        dispose(std::move(accepted), this);
        if (!std::exchange(m_fullTold, true))
            emit connectionNotice(QStringLiteral("Sender %1 was refused: %2 senders are connected, the most "
                                                 "[Receive] MaxSenders allows.")
                                          .arg(description)
                                          .arg(m_maxSenders));
        return;
    }
    // With one sender the newest replaces the current one, whose answers
    // still queued reach it from the retiring pool; what it left open is kept first.
    QString replaced;
    if (!m_several) {
        while (!m_links.empty()) {
            replaced = m_links.back()->description;
            removeLink(*m_links.back());
        }
    }
    auto link = std::make_unique<Link>();
    link->serial = ++m_lastSerial;
    link->description = description;
    link->sender = m_store.addSender(description.toUtf8());
    link->lastActivityMs = QDateTime::currentMSecsSinceEpoch();
    link->connection = std::move(accepted);
    Link *raw = link.get();
    Connection *connection = raw->connection.get();
    connect(connection, &Connection::arrived, this, [this, raw] { dataArrival(*raw); });
    connect(connection, &Connection::arrivalsSettled, this, &InterfaceEngine::arrivalsSettled);
    connect(connection, &Connection::peerClosed, this, [this, raw] { peerClosed(*raw); });
    connect(connection, &Connection::failed, this, [this, raw](int error) { connectionFailed(*raw, error); });
    m_links.push_back(std::move(link));
    shareReading();
    setState(State::Connected);
    emit connectionsChanged();
    emit connectionEstablished(buildTimeStamp(), connection->peerAddress(), connection->peerPort());
    emit senderConnected(description);
    if (!replaced.isEmpty())
        emit senderReplaced(replaced, description);
}

void InterfaceEngine::shareReading()
{
    // A sender alone is watched for its next message; several take turns.
    const bool alone = m_links.size() == 1;
    for (const auto &link : m_links)
        link->connection->setWatchForNext(alone);
}

void InterfaceEngine::watchSenders()
{
    // As one sender's connection is watched for its next message, several
    // are watched together, before the event loop sleeps: waking it costs
    // each message tens of microseconds. Runs end as one connection's do,
    // so timers and new connections get their turn.
    constexpr qint64 WatchNs = 30'000;
    constexpr qint64 RunNs = 5'000'000;
    const QScopedValueRollback watching(m_watching, true);
    QElapsedTimer run;
    run.start();
    std::vector<quint64> ready;
    while (m_links.size() > 1 && run.nsecsElapsed() < RunNs) {
        m_watched.resize(m_links.size());
        for (std::size_t i = 0; i < m_links.size(); ++i)
            m_watched[i] = {m_links[i]->connection->descriptor(), POLLIN, 0};
        if (SocketIo::readableWithin(m_watched.data(), int(m_watched.size()), WatchNs) <= 0)
            return;
        ready.clear();
        for (std::size_t i = 0; i < m_watched.size(); ++i)
            if (m_watched[i].revents != 0)
                ready.push_back(m_links[i]->serial);
        // A read may end a connection, and with it its place in the list.
        for (const quint64 serial : ready)
            if (Link *link = findLink(serial))
                link->connection->readNow();
    }
}

void InterfaceEngine::connectionFailed(Link &link, int error)
{
    // A reset, or a peer that reads nothing, ends the connection.
    const int number = ErrorNumber::fromErrno(error);
    const QString description = link.description;
    removeLink(link);
    afterLinkEnded(State::Listening);
    if (!m_several) {
        emit socketError(1, number);
        return;
    }
    // Among several senders one failing is no fault of the probe: a line,
    // not a box for each.
    const QString how = error == ECONNRESET ? QStringLiteral("reset the connection")
                                            : QStringLiteral("lost the connection (socket error %1)").arg(number);
    emit connectionNotice(QStringLiteral("Sender %1 %2.").arg(description, how));
    emit senderGone(description, how);
}

void InterfaceEngine::peerClosed(Link &link)
{
    const QString description = link.description;
    removeLink(link);
    if (m_several)
        emit senderGone(description, QStringLiteral("closed the connection"));
    afterLinkEnded(State::WaitingForReconnect);
    // The listener stays open across a peer's close: requests already queued
    // in it, and those that come meanwhile, are served instead of reset or
    // refused.
    if (m_listener.isListening() || m_state == State::Stopped)
        return;
    if (const int error = listen(m_port))
        emit socketError(0, error);
}

void InterfaceEngine::afterLinkEnded(State whenNoneLeft)
{
    if (!m_links.empty() || m_state == State::Stopped)
        return;
    // A fault leaves the probe listening as it was; an orderly close waits
    // for the sender to come back.
    if (whenNoneLeft == State::WaitingForReconnect || m_state == State::Connected)
        setState(whenNoneLeft);
}

void InterfaceEngine::closeIdleConnections()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (std::size_t i = 0; i < m_links.size();) {
        Link &link = *m_links[i];
        if (now - link.lastActivityMs < m_idleTimeoutMs) {
            ++i;
            continue;
        }
        const QString description = link.description;
        removeLink(link);
        const QString how = QStringLiteral("carried no byte for %1 s and was closed").arg(m_idleTimeoutMs / 1000);
        emit connectionNotice(QStringLiteral("The connection of sender %1 %2.").arg(description, how));
        if (m_several)
            emit senderGone(description, how);
    }
    afterLinkEnded(State::Listening);
}
