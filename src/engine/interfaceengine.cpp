#include "engine/interfaceengine.h"

#include "interface/winsock.h"

#include <QDateTime>

namespace {
const QString StatusEstablished = QStringLiteral("Connection Established");
const QString StatusWaiting = QStringLiteral("Connection closed.Waiting for reconnect.");
const QString StatusStopped = QStringLiteral("Connection Stopped");
} // namespace

InterfaceEngine::InterfaceEngine(const SettingsRecord &record, QObject *parent)
    : QObject(parent), m_record(record), m_winsock(new Winsock(this))
{
    connect(m_winsock, &Winsock::connectionRequest, this, &InterfaceEngine::connectionRequest);
    connect(m_winsock, &Winsock::dataArrival, this,
            [this](int index, qint64) { dataArrival(index); });
    connect(m_winsock, &Winsock::arrivalsSettled, this, &InterfaceEngine::arrivalsSettled);
    connect(m_winsock, &Winsock::peerClosed, this, &InterfaceEngine::peerClose);
    connect(m_winsock, &Winsock::socketError, this, [this](int index, int number, const QString &) {
        if (number != Winsock::NoError)
            emit socketError(index, number);
    });
    connect(&m_logRetry, &QTimer::timeout, this, &InterfaceEngine::retryLogLines);
}

InterfaceEngine::~InterfaceEngine()
{
    closeLog();
}

QString InterfaceEngine::localIP() const
{
    return m_winsock->localIP(0);
}

bool InterfaceEngine::openLog()
{
    m_logWriteFailureReported = false;
    // A log still open from a start that failed on its port is reopened at
    // the location now configured: that is no failure.
    if (!m_log.open(m_record.strLogfileLocation))
        return false;
    if (!m_log.writePending())
        reportLogWriteFailure();
    return true;
}

void InterfaceEngine::closeLog()
{
    if (m_log.isOpen() && m_log.writePending())
        m_log.followLocation();
    m_log.close();
    m_logRetry.stop();
}

int InterfaceEngine::listen(const Endpoint &endpoint)
{
    m_winsock->setRemoteHost(0, endpoint.remoteHost);
    m_winsock->setRemotePort(0, endpoint.remotePort);
    m_winsock->setProtocol(0, 0);
    m_winsock->setLocalPort(0, endpoint.localPort);
    return m_winsock->listen(0);
}

void InterfaceEngine::stop()
{
    closeLog();
    closeAllEndpoints();
    emit statusChanged(StatusStopped);
}

void InterfaceEngine::closeAllEndpoints()
{
    for (int index = 0; index < m_winsock->count(); ++index)
        m_winsock->close(index);
    // Stop and Exit close at once: answers still queued for earlier
    // connections go with them.
    m_winsock->dropRetiring();
}

void InterfaceEngine::clearMessages()
{
    m_store.clear();
}

QString InterfaceEngine::buildTimeStamp()
{
    m_stamp = m_clock.stampAt(QDateTime::currentMSecsSinceEpoch());
    return m_stamp;
}

const QByteArray &InterfaceEngine::prepareAck()
{
    buildTimeStamp();
    m_lastAck = m_ackCache.of(m_record.strAckBeforeDate, m_stamp, m_record.strAckAfterDate,
                              m_record.strMSASegment);
    return m_lastAck;
}

void InterfaceEngine::connectionRequest(int index, qint32 requestId)
{
    const int connection = index + 1;
    // The newest connection replaces the current one: the old element goes
    // with its connection and a fresh one accepts.
    const auto acceptRequest = [&] {
        if (!m_winsock->create(connection)) {
            m_winsock->destroy(connection);
            m_winsock->create(connection);
        }
        return m_winsock->accept(connection, requestId) == Winsock::NoError;
    };
    if (!acceptRequest()) {
        // One more try on a fresh element; then the request is dropped and
        // the listener goes on listening.
        m_winsock->destroy(connection);
        if (!acceptRequest()) {
            m_winsock->destroy(connection);
            return;
        }
    }
    emit statusChanged(StatusEstablished);
    emit connectionEstablished(buildTimeStamp(), m_winsock->remoteHostIP(connection),
                               m_winsock->remotePeerPort(connection));
}

void InterfaceEngine::dataArrival(int index)
{
    // One arrival is one message: whatever has come is taken whole.
    const QByteArray message = m_winsock->takeData(index);
    ++m_transactionCount;
    // The line reaches the system before the answer leaves, after any lines
    // still waiting for room; one that cannot go whole waits in turn.
    if (m_log.isOpen() && !m_log.writeLine(message))
        reportLogWriteFailure();
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    m_store.append(message, {arrived, arrived});
    m_winsock->send(index, prepareAck());
    m_store.setAnswer(m_store.size() - 1, m_lastAck, arrived);
    // The rest waits until the sender pauses (arrivalsSettled): a sender
    // that waits for each answer sends again within microseconds.
}

void InterfaceEngine::arrivalsSettled(int)
{
    // A log deleted (made again, with its latest lines) or rotated away (a
    // new one) meanwhile is followed: the check costs a system call that no
    // answer need wait for.
    if (m_log.isOpen() && !m_log.followLocation())
        reportLogWriteFailure();
    // Received messages go to disk in large chunks.
    m_store.spillIfDue();
    if (m_store.spillFailed() && !m_spillFailureReported) {
        m_spillFailureReported = true;
        emit spillFailed(QStringLiteral("The received messages could not be kept on disk: %1\r\n"
                                        "From now on they are kept in memory.")
                                 .arg(m_store.spillError()));
    }
    emit messagesAdded();
}

void InterfaceEngine::peerClose(int)
{
    // The listener stays open across a peer's close: requests already queued
    // in it, and those that come meanwhile, are served instead of reset or
    // refused. Only the connections close.
    for (int connection = 1; connection < m_winsock->count(); ++connection)
        m_winsock->close(connection);
    emit statusChanged(StatusWaiting);
    if (m_winsock->isListening(0))
        return;
    if (const int error = m_winsock->listen(0))
        emit socketError(0, error);
}

void InterfaceEngine::reportLogWriteFailure()
{
    keepRetryingLog();
    if (m_logWriteFailureReported)
        return;
    m_logWriteFailureReported = true;
    emit logWriteFailed(QStringLiteral("The logfile %1 could not be written: %2")
                                .arg(m_log.path(), m_log.errorString()));
}

void InterfaceEngine::keepRetryingLog()
{
    if (m_log.isOpen() && m_log.hasPending() && !m_logRetry.isActive())
        m_logRetry.start(1000);
}

void InterfaceEngine::retryLogLines()
{
    // Between arrivals the disk may get room again: the lines need not wait
    // for the next message.
    if (m_log.isOpen() && !(m_log.writePending() && m_log.followLocation()))
        reportLogWriteFailure();
    if (!m_log.isOpen() || !m_log.hasPending())
        m_logRetry.stop();
}
