#pragma once

#include "protocol/acknowledgement.h"
#include "protocol/answerrules.h"
#include "store/messagestore.h"
#include "protocol/mllpgatherer.h"
#include "files/transactionlog.h"
#include "engine/probesettings.h"
#include "sockets/connection.h"
#include "sockets/listener.h"
#include "sockets/retiringpool.h"
#include "sockets/tlscontext.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <poll.h>

// The interface without any window: the listener and the senders'
// connections, the transaction log, the received messages, the counter and
// the acknowledgement. It answers every message itself, before anyone hears
// of it; its owner learns what happened through the signals and shows it.
// The settings and options are read from their owner at each use; how many
// senders, the idle timeout and TLS at each start().
//
// One sender at a time by default: a newer connection replaces the current
// one. With several, each stays until its sender closes it, and every
// message is answered on the connection it came on, in order.
//
// By default one arrival is one message. With whole MLLP messages on, a
// message is one MLLP block gathered over as many arrivals as it takes, its
// bytes going to the log and the store as they come; bytes outside any block
// are listed and logged, not answered, and a block still open when its
// connection ends is listed and logged as it stands, not answered. CR, LF and
// NUL alone between blocks are no message: the message before them on the
// connection (or, before the first, the one after) tells of them.
//
// The answer rules the settings owner read last are taken at start(): the
// first that holds for a message shapes its answer, its time, how it is
// written and whether the connection outlives it; the store records which
// rule decided (MessageInfo::ruleLine, outcome). Without rules an answer goes
// as configured, except that an acknowledgement is never answered with
// texts that take its fields.
class InterfaceEngine : public QObject, private MllpGatherer::Receiver
{
    Q_OBJECT

public:
    // Stopped: not listening. Listening: no sender connected (after Start, or
    // after a connection ended by a fault). Connected: a sender is connected.
    // WaitingForReconnect: the sender closed its connection in order.
    enum class State { Stopped, Listening, Connected, WaitingForReconnect };
    struct StartResult
    {
        enum class Outcome { Listening, PortInUse, SocketError, TlsError } outcome = Outcome::Listening;
        int socketError = 0; // the Windows Sockets number, when not listening
        QString tlsError;    // why the TLS files could not be used, naming the file
    };

    explicit InterfaceEngine(const ProbeSettings &settings, QObject *parent = nullptr);
    ~InterfaceEngine() override;

    State state() const { return m_state; }
    // Listens on every address at the settings' listen port, in place of any
    // listener before (connections stay), speaking TLS when the options name
    // a certificate and key. The log is opened apart (openLog).
    StartResult start();

    const MessageStore &messages() const { return m_store; }
    const TransactionLog &log() const { return m_log; }
    qint64 transactionCount() const { return m_transactionCount; }
    QByteArray lastAcknowledgement() const { return m_lastAck; }
    // The timestamp of the last acknowledgement or connection.
    QString lastStamp() const { return m_stamp; }
    // The machine's first non-loopback IPv4 address, or 127.0.0.1.
    QString localIP() const;
    bool isListening() const { return m_listener.isListening(); }
    // The port bound (the one the system chose when 0 was asked), or 0.
    quint16 listeningPort() const { return m_listener.port(); }
    // A sender is connected.
    bool isConnected() const;
    // Senders connected.
    int connectionCount() const;
    // Answer bytes queued for the senders connected that their kernel has
    // not taken yet (not counting those of connections retiring).
    qint64 answerBytesQueued() const;

    // Opens the log at the record's location; false when it cannot be
    // opened. Lines an earlier run could not write go first.
    bool openLog();
    // One more try for lines still waiting, then the log is closed; those
    // that still cannot go stay for the next log opened.
    void closeLog();
    // Closes the log and every endpoint, answers still queued included.
    void stop();
    void closeAllEndpoints();
    void clearMessages();

    // Answers waiting for their delay, and the bytes of message fields they hold.
    qsizetype answersWaiting() const { return qsizetype(m_delayed.size()); }
    qint64 bytesWaiting() const { return m_delayedBytes; }
    // Past either, the oldest waiting answer goes at once.
    static constexpr qsizetype MostAnswersWaiting = 1000000;
    static constexpr qint64 MostBytesWaiting = qint64(64) << 20;
    // Of a whole MLLP message, the first segment is kept up to here for the
    // answer's fields: a field beginning within MSH's first fields can reach
    // AckFields::ValueCap. The array is reused from block to block.
    static constexpr qsizetype WholeMessageHeadLimit = 1024 * 1024;

    // --- Answers by rule (the settings owner's rules(), taken at start()) ---
    int rulesInForce() const { return int(m_book.rules().size()); }
    // The seed the shares of the rules in force draw from.
    quint64 rulesSeed() const { return m_book.seed(); }
    // Every start() from now takes this seed instead of a fresh one, so that
    // a run can be repeated.
    void setRulesSeed(quint64 seed) { m_fixedSeed = seed; }
    // The pieces of an answer sent in pieces go this far apart.
    static constexpr int PieceGapMs = 50;
    // Acknowledgements in a row from one sender, answered with a fixed
    // answer, before the loop is told.
    static constexpr int AcksInARowTold = 100;

signals:
    void stateChanged(InterfaceEngine::State state);
    // A sender's connection was accepted (with TLS, once its handshake is
    // over), at `stamp`.
    void connectionEstablished(const QString &stamp, const QString &peerAddress, quint16 peerPort);
    // The same, described as its messages' From tells it: the address and
    // port, with TLS the protocol, cipher and client certificate's subject.
    void senderConnected(const QString &description);
    // With one sender: the connection described `replaced` gave way to `by`.
    void senderReplaced(const QString &replaced, const QString &by);
    // With several senders: a sender's connection ended, `how` in a few words.
    void senderGone(const QString &description, const QString &how);
    // Senders connected: connectionCount() changed.
    void connectionsChanged();
    // A connection refused past the most senders, a failed TLS handshake, an
    // idle connection closed, a connection failing among several: one line
    // for a status line or standard error, never for a box.
    void connectionNotice(const QString &notice);
    // Messages were answered since the last time: the owner catches up.
    void messagesAdded();
    // The texts of notices, each told once per failure.
    void logWriteFailed(const QString &notice);
    void spillFailed(const QString &notice);
    // The store, in memory since a spill failed, is on disk again.
    void spillRecovered(const QString &notice);
    // An echoed field was cut, waiting answers went early, or a sender
    // acknowledges the answers: each told once per start().
    void answerNotice(const QString &notice);
    // A socket error, with its Windows Sockets number (never 0): index 0
    // for the listener, 1 for the one sender's connection.
    void socketError(int index, int number);

private:
    // A sender's connection and what is gathered of it.
    struct Link
    {
        std::unique_ptr<Connection> connection;
        quint64 serial = 0; // in order of acceptance
        quint32 sender = 0; // its number in the store
        QString description;
        qint64 lastActivityMs = 0;
        // Whole MLLP messages: the block being gathered.
        MllpGatherer gatherer;
        bool gathering = false;
        quint64 blockArrival = 0; // the last arrival that held bytes of the block
        MessageInfo block;
        QByteArray blockHead;     // its first segment (a batch's: to its first MSH's end), or as much as the cap
        bool blockHeadDone = false;
        bool blockHeadCut = false; // the cap came before the segment's end
        // The block's bytes of this arrival, not yet logged: a block that
        // ends in the same arrival goes to the log with its CR LF in one write.
        QByteArray blockUnlogged;
        // With several senders a block is held until its end, so that the
        // log and the store take each message whole, in the order they end.
        bool holding = false;
        QByteArray held;
        // The connection's last message, or -1 before its first, and the
        // padding since: after that message, or before the next when none.
        qint64 paddedMessage = -1;
        MessageInfo::Padding padding;
        // With rules in force, the block's first AnswerRules::TextMatchCap
        // bytes, which the rules decide on.
        QByteArray ruleBytes;
        // Acknowledgements in a row it sent, while the answer is fixed.
        int acksInARow = 0;
        // A rule closes or resets it: nothing more is answered on it.
        bool ending = false;
    };
    struct DelayedAnswer
    {
        qint64 message;
        qint64 dueMs;
        QByteArray values; // the fields its texts name, escaped; null when none
        quint64 link;      // the serial of the connection it goes back on
        // The actions of the rule that decided it; null when none did.
        std::shared_ptr<const AnswerRules::Actions> actions;
    };
    // What a rule does after the first answer, at its time, on its link.
    struct Step
    {
        enum class What : quint8 { Send, Close, Reset };
        quint64 link;
        What what;
        QByteArray bytes;
    };

    // The socket events.
    void connectionAccepted();
    void handshakeDone(Connection *connection);
    void handshakeFailed(Connection *connection, const QString &where, const QString &reason);
    std::unique_ptr<Connection> takeHandshake(Connection *connection);
    void admit(std::unique_ptr<Connection> accepted);
    void dataArrival(Link &link);
    void arrivalsSettled();
    // Between runs of arrivals: the log's location followed, the store kept
    // on disk, the owner told.
    void settle();
    void peerClosed(Link &link);
    void connectionFailed(Link &link, int error);
    void closeIdleConnections();
    void shareReading();
    // Several senders' connections watched together for a moment.
    void watchSenders();
    // The timestamp of now, kept as lastStamp().
    QString buildTimeStamp();
    Link *findLink(quint64 serial) const;
    // The link ends: what it left open is kept, it is closed (its answers
    // still queued go to the retiring pool) and goes.
    void removeLink(Link &link);
    // Closes every connection; answers still queued go to the retiring pool.
    void closeConnections();
    void afterLinkEnded(State whenNoneLeft);
    static void dispose(std::unique_ptr<Connection> connection, QObject *parent);

    // One message is in the store and the log: it is answered as the
    // options say. `head` holds the message's first segment, or (headOnly)
    // as much of it as was kept.
    // `whole` is what the rules decide on: the message, or its first
    // AnswerRules::TextMatchCap bytes.
    void answer(Link *link, qint64 message, QByteArrayView whole, QByteArrayView head, bool headOnly,
                qint64 arrivedMs);
    // The rule that holds for the message, recorded; or when none does,
    // false for an acknowledgement that gets no answer (the answer takes its
    // fields) and the loop told where the answer is fixed.
    bool ruleOrAnswerable(Link *link, qint64 message, QByteArrayView whole, QByteArrayView head,
                          const AnswerRules::Rule **rule);
    void queueAnswer(DelayedAnswer answer);
    // m_lastAck as the rule's actions shape it, to the link and the store,
    // and what follows it scheduled.
    void sendByRule(Link *link, qint64 message, const AnswerRules::Actions &actions, qint64 nowMs);
    void schedule(qint64 dueMs, Step step);
    void runDueSteps();
    // A rule ends the link: closed once its answers have left, or reset.
    void endByRule(Link &link, bool reset);
    void takeRules();
    // m_lastAck goes to the link and the store.
    void sendAnswer(Link *link, qint64 message, qint64 nowMs);
    void sendDueAnswers();
    // The oldest waiting answer, now; false when its connection is gone.
    bool sendOldestWaiting(qint64 nowMs);
    void dropWaitingAnswers();
    // The queue has drained: after a large one, once its answers have
    // left, its memory goes back to the system (giveBackMemory).
    void returnWaitingMemory();
    void giveBackMemory();
    void tellAnswerNotice(bool &told, const QString &notice);
    // The link is over: an open block is kept as incomplete and, with one
    // sender, answers still waiting are dropped.
    void endConnection(Link &link);
    void takeWholeMessages(Link &link, const QByteArray &arrival);
    void keepStoreOnDisk();
    void outside(QByteArrayView bytes) override;
    void padding(QByteArrayView bytes) override;
    void blockBegins() override;
    void blockBytes(QByteArrayView bytes) override;
    void blockEnds() override;
    void blockIncomplete() override;
    void endBlock(MessageInfo::Kind kind);
    // A message of this link is stored: padding from here is its own.
    void messageStored(Link &link);
    void logBlockBytes(Link &link);

    void reportLogWriteFailure();
    void keepRetryingLog();
    void retryLogLines();

    void setState(State state);
    // 0 or the socket error's number: 10048 when the port is in use, 10049
    // when it is no port number.
    int listen(qint32 port);

    const ProbeSettings &m_settings;
    State m_state = State::Stopped;
    MessageStore m_store;
    TransactionLog m_log;
    qint64 m_transactionCount = 0;
    QString m_stamp;
    TimeStampClock m_clock;
    AcknowledgementCache m_ackCache;
    QByteArray m_lastAck;
    bool m_logWriteFailureReported = false;
    // Retries the lines the log could not take yet, about once a second,
    // only while there are any.
    QTimer m_logRetry;
    // While the store is in memory, it tries the disk again now and then
    // even when nothing arrives.
    QTimer m_spillRetry;

    // Declared before the listener and the connections, which retire into it.
    RetiringPool m_retiring;
    Listener m_listener{&m_retiring};
    qint32 m_port = 0; // as last asked, for listening again
    // As the options were at start().
    bool m_several = false;
    int m_maxSenders = 1;
    qint64 m_idleTimeoutMs = 0;
    bool m_fullTold = false; // a sender was refused since the count last fell
    // Senders connected, oldest first; with one sender, at most one.
    std::vector<std::unique_ptr<Link>> m_links;
    quint64 m_lastSerial = 0;
    // TLS connections whose handshake is not over yet: no sender so far.
    std::vector<std::unique_ptr<Connection>> m_handshakes;
    static constexpr int MostHandshakes = 64;
    QTimer m_idleCheck;
    QTimer m_settleLater;
    bool m_watching = false;
    std::vector<pollfd> m_watched;
    std::deque<DelayedAnswer> m_delayed;
    qint64 m_delayedBytes = 0;
    qint64 m_delayedPeak = 0; // the most memory the queue held since it was last empty
    QTimer m_delayTimer;
    // Until the answers of a large queue have left, after it drained.
    QTimer m_memoryReturn;
    bool m_fieldCutTold = false;
    bool m_loopTold = false;
    AnswerRules::Book m_book;
    // Each rule's actions, for the answers that wait with them.
    std::vector<std::shared_ptr<const AnswerRules::Actions>> m_ruleActions;
    std::optional<quint64> m_fixedSeed;
    // Pieces, second answers and closes to come, by time and then order.
    std::map<std::pair<qint64, quint64>, Step> m_steps;
    quint64 m_stepsMade = 0;
    QTimer m_stepTimer;
    bool m_waitingBoundTold = false;

    // Whole MLLP messages: the arrival being gathered, and its link.
    quint64 m_arrival = 0; // arrivals taken since start-up
    const QByteArray *m_arrivalBytes = nullptr;
    Link *m_link = nullptr;
};
