#include "engine/interfaceengine.h"

#include "sockets/errornumbers.h"
#include "system/freememory.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>

InterfaceEngine::InterfaceEngine(const ProbeSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    connect(&m_listener, &Listener::connectionAccepted, this, &InterfaceEngine::connectionAccepted);
    // The listener goes on listening when short of descriptors, not after a failure.
    const auto listenerError = [this](int error) { emit socketError(0, ErrorNumber::fromErrno(error)); };
    connect(&m_listener, &Listener::shortOfResources, this, listenerError);
    connect(&m_listener, &Listener::failed, this, listenerError);
    connect(&m_logRetry, &QTimer::timeout, this, &InterfaceEngine::retryLogLines);
    connect(&m_spillRetry, &QTimer::timeout, this, &InterfaceEngine::keepStoreOnDisk);
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &InterfaceEngine::sendDueAnswers);
    m_memoryReturn.setSingleShot(true);
    m_memoryReturn.setInterval(1000);
    connect(&m_memoryReturn, &QTimer::timeout, this, &InterfaceEngine::giveBackMemory);
    m_settleLater.setSingleShot(true);
    m_settleLater.setInterval(5);
    connect(&m_settleLater, &QTimer::timeout, this, &InterfaceEngine::settle);
    m_stepTimer.setSingleShot(true);
    m_stepTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_stepTimer, &QTimer::timeout, this, &InterfaceEngine::runDueSteps);
    m_idleCheck.setInterval(1000);
    connect(&m_idleCheck, &QTimer::timeout, this, &InterfaceEngine::closeIdleConnections);
}

InterfaceEngine::~InterfaceEngine()
{
    closeLog();
}

QString InterfaceEngine::localIP() const
{
    return machineIPv4Address();
}

bool InterfaceEngine::isConnected() const
{
    return connectionCount() > 0;
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

void InterfaceEngine::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

InterfaceEngine::StartResult InterfaceEngine::start()
{
    m_fieldCutTold = false;
    m_waitingBoundTold = false;
    takeRules();
    const Options &options = m_settings.options();
    m_several = options.senders == Options::Senders::Several;
    m_maxSenders = m_several ? qBound(1, options.maxSenders, Options::MostSenders) : 1;
    m_idleTimeoutMs = qint64(qBound(0, options.idleTimeoutS, Options::LongestIdleTimeoutS)) * 1000;
    m_fullTold = false;
    if (m_idleTimeoutMs > 0)
        m_idleCheck.start();
    else
        m_idleCheck.stop();
    std::shared_ptr<TlsContext> tls;
    if (options.tlsEnabled()) {
        // Files named relative to the settings folder, as the log may be.
        const QDir folder(m_settings.folder());
        const auto path = [&folder](const QString &name) {
            return name.isEmpty() ? QString() : folder.absoluteFilePath(name);
        };
        QString why;
        tls = TlsContext::load({path(options.tlsCertificate), path(options.tlsKey), path(options.tlsClientCAs)}, &why);
        if (!tls) {
            // Never plain TCP where TLS was asked for.
            m_listener.close();
            return {StartResult::Outcome::TlsError, 0, why};
        }
    }
    m_listener.setTls(std::move(tls));
    const int error = listen(m_settings.listenPort());
    if (error == ErrorNumber::AddressInUse)
        return {StartResult::Outcome::PortInUse, error, {}};
    if (error != ErrorNumber::None)
        return {StartResult::Outcome::SocketError, error, {}};
    setState(State::Listening);
    return {};
}

int InterfaceEngine::listen(qint32 port)
{
    m_port = port;
    m_listener.close();
    if (port < 0 || port > 65535)
        return ErrorNumber::AddressNotAvailable;
    return ErrorNumber::fromErrno(m_listener.listen(quint16(port)));
}

void InterfaceEngine::stop()
{
    // An open block reaches the log before it closes.
    for (const auto &link : m_links)
        endConnection(*link);
    closeLog();
    closeAllEndpoints();
    m_idleCheck.stop();
    setState(State::Stopped);
}

void InterfaceEngine::closeAllEndpoints()
{
    closeConnections();
    dropWaitingAnswers();
    m_steps.clear();
    m_stepTimer.stop();
    m_listener.close();
    // Stop and Exit close at once: answers still queued for earlier
    // connections go with them.
    m_retiring.clear();
}

void InterfaceEngine::clearMessages()
{
    m_store.clear();
    dropWaitingAnswers();
    for (const auto &link : m_links) {
        // Padding after a message cleared away has no message to tell of it.
        link->paddedMessage = -1;
        link->padding = {};
        link->sender = m_store.addSender(link->description.toUtf8());
    }
}

QString InterfaceEngine::buildTimeStamp()
{
    m_stamp = m_clock.stampAt(QDateTime::currentMSecsSinceEpoch());
    return m_stamp;
}

void InterfaceEngine::sendAnswer(Link *link, qint64 message, qint64 nowMs)
{
    if (link) {
        link->connection->send(m_lastAck);
        link->lastActivityMs = nowMs;
    }
    m_store.setAnswer(message, m_lastAck, nowMs);
}

void InterfaceEngine::answer(Link *link, qint64 message, QByteArrayView whole, QByteArrayView head,
                             bool headOnly, qint64 arrivedMs)
{
    const Options &options = m_settings.options();
    if (options.answerMode == Options::AnswerMode::Never || (link && link->ending))
        return;
    const AnswerRules::Rule *rule = nullptr;
    if (!ruleOrAnswerable(link, message, whole, head, &rule))
        return;
    const AnswerRules::Actions *actions = rule ? &rule->actions : nullptr;
    qint64 delayMs = options.answerMode == Options::AnswerMode::Delayed
                     ? qBound(Options::ShortestDelayMs, options.delayMs, Options::LongestDelayMs) : 0;
    if (actions && actions->delayMs >= 0)
        delayMs = actions->delayMs;
    const SettingsRecord &texts = m_settings.record();
    bool cut = false;
    if (delayMs == 0) {
        if (actions && actions->reset) {
            // Not from inside the connection's own signal: from the event loop.
            if (link) {
                link->ending = true;
                schedule(arrivedMs, {link->serial, Step::What::Reset, {}});
            }
            return;
        }
        m_stamp = m_clock.stampAt(arrivedMs);
        // Texts without fields give the cached array itself: no copy a message.
        m_lastAck = m_ackCache.of(texts.strAckBeforeDate, m_stamp, texts.strAckAfterDate,
                                  texts.strMSASegment, head, headOnly, &cut);
        if (actions)
            sendByRule(link, message, *actions, arrivedMs);
        else
            sendAnswer(link, message, arrivedMs);
    } else {
        // Only what the answer needs waits with it: the fields its texts
        // name, already escaped, and nothing when they name none.
        QByteArray values = m_ackCache.capture(texts.strAckBeforeDate, texts.strAckAfterDate,
                                               texts.strMSASegment, head, headOnly, &cut);
        queueAnswer({message, arrivedMs + delayMs, std::move(values), link ? link->serial : 0,
                     actions ? m_ruleActions[std::size_t(rule - m_book.rules().data())] : nullptr});
    }
    if (cut)
        tellAnswerNotice(m_fieldCutTold,
                         QStringLiteral("A message field named in the acknowledgement was cut: an answer "
                                        "echoes at most %1 bytes of a field, from the first %2 bytes of a "
                                        "whole MLLP message.")
                                 .arg(AckFields::ValueCap)
                                 .arg(WholeMessageHeadLimit));
}

void InterfaceEngine::queueAnswer(DelayedAnswer waiting)
{
    m_delayedBytes += waiting.values.size();
    // In order of due time; answers due together go in order of arrival.
    auto at = m_delayed.end();
    if (!m_delayed.empty() && m_delayed.back().dueMs > waiting.dueMs)
        at = std::upper_bound(m_delayed.begin(), m_delayed.end(), waiting.dueMs,
                              [](qint64 due, const DelayedAnswer &a) { return due < a.dueMs; });
    const bool first = at == m_delayed.begin();
    m_delayed.insert(at, std::move(waiting));
    m_delayedPeak = qMax(m_delayedPeak, m_delayedBytes + qint64(m_delayed.size() * sizeof(DelayedAnswer)));
    if (qsizetype(m_delayed.size()) > MostAnswersWaiting || m_delayedBytes > MostBytesWaiting) {
        // The oldest go now, so that no later answer overtakes them.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        while (qsizetype(m_delayed.size()) > MostAnswersWaiting || m_delayedBytes > MostBytesWaiting)
            sendOldestWaiting(now);
        tellAnswerNotice(m_waitingBoundTold,
                         QStringLiteral("More answers were waiting for their delay than are kept "
                                        "(%1 answers or %2 MiB of their message fields): the oldest "
                                        "were sent at once.")
                                 .arg(MostAnswersWaiting)
                                 .arg(MostBytesWaiting >> 20));
    }
    if ((first || !m_delayTimer.isActive()) && !m_delayed.empty())
        m_delayTimer.start(int(qMax<qint64>(0, m_delayed.front().dueMs - QDateTime::currentMSecsSinceEpoch())));
}

void InterfaceEngine::tellAnswerNotice(bool &told, const QString &notice)
{
    if (told)
        return;
    told = true;
    emit answerNotice(notice);
}

bool InterfaceEngine::sendOldestWaiting(qint64 nowMs)
{
    const DelayedAnswer next = std::move(m_delayed.front());
    m_delayed.pop_front();
    m_delayedBytes -= next.values.size();
    // One whose connection has gone is dropped with it.
    Link *link = findLink(next.link);
    if (!link || link->ending)
        return false;
    if (next.actions && next.actions->reset) {
        link->ending = true;
        schedule(nowMs, {link->serial, Step::What::Reset, {}});
        return false;
    }
    m_stamp = m_clock.stampAt(nowMs);
    const SettingsRecord &texts = m_settings.record();
    m_lastAck = m_ackCache.answer(texts.strAckBeforeDate, m_stamp, texts.strAckAfterDate,
                                  texts.strMSASegment, next.values);
    if (next.actions)
        sendByRule(link, next.message, *next.actions, nowMs);
    else
        sendAnswer(link, next.message, nowMs);
    return true;
}

void InterfaceEngine::sendDueAnswers()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool sent = false;
    // In order of arrival: a later message never overtakes an earlier one.
    while (!m_delayed.empty() && m_delayed.front().dueMs <= now)
        sent = sendOldestWaiting(now) || sent;
    if (sent) {
        // The answers are kept with their messages: a long run of them goes
        // to disk as the messages do, though nothing more arrives.
        keepStoreOnDisk();
        emit messagesAdded();
    }
    if (!m_delayed.empty())
        m_delayTimer.start(int(qMax<qint64>(0, m_delayed.front().dueMs - now)));
    else
        returnWaitingMemory();
}

void InterfaceEngine::dropWaitingAnswers()
{
    m_delayed.clear();
    m_delayedBytes = 0;
    m_delayTimer.stop();
    returnWaitingMemory();
}

void InterfaceEngine::returnWaitingMemory()
{
    // A small queue is not worth the trim.
    constexpr qint64 Large = 4 << 20;
    if (m_delayedPeak >= Large)
        m_memoryReturn.start();
    m_delayedPeak = 0;
}

void InterfaceEngine::giveBackMemory()
{
    // A new backlog gives it back when it drains.
    if (!m_delayed.empty())
        return;
    // The answers sent last may still wait for the kernel, and the store
    // keeps them until its next write: only once they have gone is the
    // memory worth giving back.
    if (answerBytesQueued() > 0) {
        m_memoryReturn.start();
        return;
    }
    // A deque keeps its block map, and the C library the heap freed.
    std::deque<DelayedAnswer>().swap(m_delayed);
    returnFreedMemory();
}

void InterfaceEngine::endConnection(Link &link)
{
    if (link.gatherer.inBlock()) {
        m_link = &link;
        link.gatherer.finish(*this);
        m_link = nullptr;
        emit messagesAdded();
    }
    link.gathering = false;
    // Padding belongs to its connection's messages: the next begins afresh.
    link.paddedMessage = -1;
    link.padding = {};
    // Answers belong to the connection their message came on; with several
    // senders, those of a connection gone are dropped as their turn comes.
    if (!m_several)
        dropWaitingAnswers();
}

void InterfaceEngine::dataArrival(Link &link)
{
    const QByteArray arrival = link.connection->takeData();
    ++m_arrival;
    if (m_settings.options().wholeMllpMessages) {
        takeWholeMessages(link, arrival);
        return;
    }
    // Switched off inside a block: the block is kept as it stands.
    if (link.gathering)
        endConnection(link);
    // One arrival is one message: whatever has come is taken whole.
    ++m_transactionCount;
    // The line reaches the system before the answer leaves, after any lines
    // still waiting for room; one that cannot go whole waits in turn.
    if (m_log.isOpen() && !m_log.writeLine(arrival))
        reportLogWriteFailure();
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    link.lastActivityMs = arrived;
    MessageInfo info{arrived, arrived};
    info.sender = link.sender;
    m_store.append(arrival, info);
    answer(&link, m_store.size() - 1, arrival, arrival, false, arrived);
    // The rest waits until the sender pauses (arrivalsSettled): a sender
    // that waits for each answer sends again within microseconds.
}

void InterfaceEngine::arrivalsSettled()
{
    // Several senders taking turns settle after nearly every message: what
    // is done between runs is done once a few milliseconds for them all.
    if (m_links.size() > 1) {
        if (!m_settleLater.isActive())
            m_settleLater.start();
        if (!m_watching)
            watchSenders();
        return;
    }
    settle();
}

void InterfaceEngine::settle()
{
    m_settleLater.stop();
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
