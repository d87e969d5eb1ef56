#include "engine/interfaceengine.h"

#include "sockets/winsock.h"

#include <QDateTime>

InterfaceEngine::InterfaceEngine(const ProbeSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_winsock(new Winsock(this))
{
    connect(m_winsock, &Winsock::connectionRequest, this, &InterfaceEngine::connectionRequest);
    connect(m_winsock, &Winsock::dataArrival, this,
            [this](int index, qint64) { dataArrival(index); });
    connect(m_winsock, &Winsock::arrivalsSettled, this, &InterfaceEngine::arrivalsSettled);
    connect(m_winsock, &Winsock::peerClosed, this, &InterfaceEngine::peerClose);
    connect(m_winsock, &Winsock::socketError, this, [this](int index, int number, const QString &) {
        // An error on the connection ends it (a reset, a peer that reads nothing).
        if (index == m_connectionIndex && !m_winsock->isConnected(index)) {
            endConnection();
            if (m_state == State::Connected)
                setState(State::Listening);
        }
        if (number != Winsock::NoError)
            emit socketError(index, number);
    });
    connect(&m_logRetry, &QTimer::timeout, this, &InterfaceEngine::retryLogLines);
    connect(&m_spillRetry, &QTimer::timeout, this, &InterfaceEngine::keepStoreOnDisk);
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &InterfaceEngine::sendDueAnswers);
}

InterfaceEngine::~InterfaceEngine()
{
    closeLog();
}

void InterfaceEngine::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

InterfaceEngine::StartResult InterfaceEngine::start()
{
    const qint32 port = m_settings.listenPort();
    const int error = listen({m_settings.remoteAddress(), port, port});
    if (error == Winsock::ErrAddressInUse)
        return {StartResult::Outcome::PortInUse, error};
    if (error != Winsock::NoError)
        return {StartResult::Outcome::SocketError, error};
    setState(State::Listening);
    return {};
}

quint16 InterfaceEngine::listeningPort() const
{
    return quint16(m_winsock->boundPort(0));
}

bool InterfaceEngine::isListening() const
{
    return m_winsock->isListening(0);
}

bool InterfaceEngine::isConnected() const
{
    return m_winsock->exists(m_connectionIndex) && m_winsock->isConnected(m_connectionIndex);
}

qint64 InterfaceEngine::answerBytesQueued() const
{
    return m_winsock->exists(m_connectionIndex) ? m_winsock->bytesToWrite(m_connectionIndex) : 0;
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
    if (!m_log.open(m_settings.record().strLogfileLocation))
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
    // An open block reaches the log before it closes.
    endConnection();
    closeLog();
    closeAllEndpoints();
    setState(State::Stopped);
}

void InterfaceEngine::closeAllEndpoints()
{
    endConnection();
    for (int index = 0; index < m_winsock->count(); ++index)
        m_winsock->close(index);
    // Stop and Exit close at once: answers still queued for earlier
    // connections go with them.
    m_winsock->dropRetiring();
}

void InterfaceEngine::clearMessages()
{
    m_store.clear();
    m_delayed.clear();
}

QString InterfaceEngine::buildTimeStamp()
{
    m_stamp = m_clock.stampAt(QDateTime::currentMSecsSinceEpoch());
    return m_stamp;
}

void InterfaceEngine::sendAnswer(int index, qint64 message, QByteArrayView head, qint64 nowMs)
{
    m_stamp = m_clock.stampAt(nowMs);
    // Texts without fields give the cached array itself: no copy a message.
    m_lastAck = m_ackCache.of(m_settings.record().strAckBeforeDate, m_stamp, m_settings.record().strAckAfterDate,
                              m_settings.record().strMSASegment, head);
    m_winsock->send(index, m_lastAck);
    m_store.setAnswer(message, m_lastAck, nowMs);
}

void InterfaceEngine::answer(int index, qint64 message, QByteArrayView head, qint64 arrivedMs)
{
    switch (m_settings.options().answerMode) {
    case Options::AnswerMode::AtOnce:
        sendAnswer(index, message, head, arrivedMs);
        return;
    case Options::AnswerMode::Never:
        return;
    case Options::AnswerMode::Delayed: {
        // Only the first segment is read for the answer's fields.
        const qsizetype end = head.indexOf('\r');
        const qsizetype cut = end < 0 ? qMin<qsizetype>(head.size(), 65536) : end + 1;
        const qint64 due = arrivedMs + qBound(Options::ShortestDelayMs, m_settings.options().delayMs,
                                              Options::LongestDelayMs);
        m_delayed.push_back({m_connection, message, head.first(cut).toByteArray(), due});
        if (!m_delayTimer.isActive())
            m_delayTimer.start(int(qMax<qint64>(0, due - QDateTime::currentMSecsSinceEpoch())));
        return;
    }
    }
}

void InterfaceEngine::sendDueAnswers()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool sent = false;
    // In order of arrival: a later message never overtakes an earlier one.
    while (!m_delayed.empty() && m_delayed.front().dueMs <= now) {
        const DelayedAnswer next = std::move(m_delayed.front());
        m_delayed.pop_front();
        if (next.connection == m_connection && m_winsock->isConnected(m_connectionIndex)) {
            sendAnswer(m_connectionIndex, next.message, next.head, now);
            sent = true;
        }
    }
    if (!m_delayed.empty())
        m_delayTimer.start(int(qMax<qint64>(0, m_delayed.front().dueMs - now)));
    if (sent)
        emit messagesAdded();
}

void InterfaceEngine::endConnection()
{
    if (m_gatherer.inBlock()) {
        m_gatherer.finish(*this);
        emit messagesAdded();
    }
    m_gathering = false;
    // Answers belong to the connection their message came on.
    m_delayed.clear();
    m_delayTimer.stop();
}

void InterfaceEngine::connectionRequest(int index, qint32 requestId)
{
    const int connection = index + 1;
    // The newest connection replaces the current one: the old element goes
    // with its connection and a fresh one accepts. What the old one left
    // open is kept first.
    endConnection();
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
    ++m_connection;
    m_connectionIndex = connection;
    setState(State::Connected);
    emit connectionEstablished(buildTimeStamp(), m_winsock->remoteHostIP(connection),
                               m_winsock->remotePeerPort(connection));
}

void InterfaceEngine::dataArrival(int index)
{
    const QByteArray arrival = m_winsock->takeData(index);
    ++m_arrival;
    if (m_settings.options().wholeMllpMessages) {
        takeWholeMessages(index, arrival);
        return;
    }
    // Switched off inside a block: the block is kept as it stands.
    if (m_gathering)
        endConnection();
    // One arrival is one message: whatever has come is taken whole.
    ++m_transactionCount;
    // The line reaches the system before the answer leaves, after any lines
    // still waiting for room; one that cannot go whole waits in turn.
    if (m_log.isOpen() && !m_log.writeLine(arrival))
        reportLogWriteFailure();
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    m_store.append(arrival, {arrived, arrived});
    answer(index, m_store.size() - 1, arrival, arrived);
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
    keepStoreOnDisk();
    emit messagesAdded();
}

void InterfaceEngine::keepStoreOnDisk()
{
    switch (m_store.spillIfDue()) {
    case MessageStore::SpillChange::Failed:
        emit spillFailed(QStringLiteral("The received messages could not be kept on disk: %1\r\n"
                                        "Until the disk takes them again they are kept in memory.")
                                 .arg(m_store.spillError()));
        break;
    case MessageStore::SpillChange::BackOnDisk:
        emit spillRecovered(QStringLiteral("The received messages are kept on disk again."));
        break;
    case MessageStore::SpillChange::None:
        break;
    }
    // A backlog in memory moves to disk even while nothing arrives.
    if (m_store.spillFailed() || m_store.bytesInMemory() > qint64(MessageStore::ChunkSize) * MessageStore::ChunksPerSpill) {
        if (!m_spillRetry.isActive())
            m_spillRetry.start(int(MessageStore::RetryInterval.count()));
    } else {
        m_spillRetry.stop();
    }
}

void InterfaceEngine::peerClose(int)
{
    // The listener stays open across a peer's close: requests already queued
    // in it, and those that come meanwhile, are served instead of reset or
    // refused. Only the connections close.
    endConnection();
    for (int connection = 1; connection < m_winsock->count(); ++connection)
        m_winsock->close(connection);
    setState(State::WaitingForReconnect);
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
