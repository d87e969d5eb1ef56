// The TLS side of a connection: the server's handshake driven by the
// socket's notifiers, then reads and writes through the session.

#include "sockets/connection.h"

#include "sockets/tlscontext.h"

#include <cerrno>
#include <utility>

void Connection::startTls()
{
    m_handshaking = true;
    connect(m_reader.get(), &QSocketNotifier::activated, this, &Connection::continueHandshake);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &Connection::continueHandshake);
    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        failHandshake(QStringLiteral("the handshake did not complete within %1 s")
                          .arg(m_handshakeTimer.interval() / 1000.0));
    });
    m_handshakeTimer.start(m_tls->handshakeTimeoutMs());
    QString error;
    m_ssl = TlsIo::newServerSession(m_tls->handle(), m_fd.get(), &error);
    if (!m_ssl) {
        // Told from the event loop, once the taker has had its chance to listen.
        m_reader->setEnabled(false);
        QMetaObject::invokeMethod(this, [this, error] {
            if (m_handshaking)
                failHandshake(error);
        }, Qt::QueuedConnection);
    }
}

void Connection::closeTls()
{
    m_handshakeTimer.stop();
    m_handshaking = false;
    m_readWantsWrite = false;
    m_writeWantsRead = false;
}

void Connection::continueHandshake()
{
    if (!m_handshaking || !isConnected() || !m_ssl)
        return;
    QString reason;
    switch (TlsIo::accept(m_ssl.get(), &reason)) {
    case TlsIo::Step::WantRead:
        m_writer->setEnabled(false);
        return;
    case TlsIo::Step::WantWrite:
        m_writer->setEnabled(true);
        return;
    case TlsIo::Step::Failed:
        failHandshake(reason);
        return;
    case TlsIo::Step::Done:
        break;
    }
    m_handshaking = false;
    m_handshakeTimer.stop();
    m_details = {TlsIo::protocol(m_ssl.get()), TlsIo::cipher(m_ssl.get()), TlsIo::peerSubject(m_ssl.get())};
    disconnect(m_reader.get(), nullptr, this, nullptr);
    disconnect(m_writer.get(), nullptr, this, nullptr);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &Connection::onTlsReadable);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &Connection::onTlsWritable);
    m_writer->setEnabled(false);

    const QPointer<Connection> alive(this);
    emit secured();
    if (!alive || !isConnected())
        return;
    // Answers queued meanwhile go now; and data that came with the end of
    // the handshake may already sit in the session, where no notifier sees it.
    if (!m_outgoing.isEmpty()) {
        onTlsWritable();
        if (!alive || !isConnected())
            return;
    }
    if (!m_readPosted)
        readAndSettle(0);
}

void Connection::failHandshake(const QString &reason)
{
    if (!m_handshaking)
        return;
    m_received.clear();
    closeSocket();
    emit handshakeFailed(reason);
}

SocketIo::ReadResult Connection::readTls(qint64 patienceNs)
{
    const TlsIo::ReadResult r = TlsIo::readWithin(m_ssl.get(), m_readBuffer.data(), m_received, patienceNs);
    if (r.wantWrite) {
        m_readWantsWrite = true;
        m_writer->setEnabled(true);
    }
    return r;
}

void Connection::onTlsReadable()
{
    const QPointer<Connection> alive(this);
    onReadable();
    // A write that waited for the session to read goes on now.
    if (alive && isConnected() && m_writeWantsRead && !m_outgoing.isEmpty())
        onWritable();
}

void Connection::onTlsWritable()
{
    if (!isConnected())
        return;
    if (std::exchange(m_readWantsWrite, false) && !m_readPosted) {
        const QPointer<Connection> alive(this);
        readAndSettle(0);
        if (!alive || !isConnected())
            return;
    }
    onWritable();
}

int Connection::flushTls()
{
    if (m_handshaking)
        return 0; // queued until secured
    const int error = TlsIo::sendQueued(m_ssl.get(), m_outgoing, &m_writeWantsRead);
    if (error == 0)
        m_writer->setEnabled((!m_outgoing.isEmpty() && !m_writeWantsRead) || m_readWantsWrite);
    return error;
}
