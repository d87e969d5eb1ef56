#pragma once

#include "protocol/acknowledgement.h"
#include "store/messagestore.h"
#include "protocol/mllpgatherer.h"
#include "files/transactionlog.h"
#include "engine/probesettings.h"

#include <QObject>
#include <QTimer>

#include <deque>

class Winsock;

// The interface without any window: the listening endpoint and the one
// connection, the transaction log, the received messages, the counter and
// the acknowledgement. It answers every message itself, before anyone hears
// of it; its owner learns what happened through the signals and shows it.
// The settings and options are read from their owner at each use.
//
// By default one arrival is one message. With whole MLLP messages on, a
// message is one MLLP block gathered over as many arrivals as it takes, its
// bytes going to the log and the store as they come; bytes outside any block
// are listed and logged, not answered, and a block still open when its
// connection ends is listed and logged as it stands, not answered.
class InterfaceEngine : public QObject, private MllpGatherer::Receiver
{
    Q_OBJECT

public:
    // Where Start makes element 0 listen.
    struct Endpoint
    {
        QString remoteHost;
        qint32 remotePort = 0;
        qint32 localPort = 0;
    };

    // Stopped: not listening. Listening: no sender connected (after Start, or
    // after a connection ended by a fault). Connected: a sender is connected.
    // WaitingForReconnect: the sender closed its connection in order.
    enum class State { Stopped, Listening, Connected, WaitingForReconnect };
    struct StartResult
    {
        enum class Outcome { Listening, PortInUse, SocketError } outcome = Outcome::Listening;
        int socketError = 0; // the Windows Sockets number, when not listening
    };

    explicit InterfaceEngine(const ProbeSettings &settings, QObject *parent = nullptr);
    ~InterfaceEngine() override;

    State state() const { return m_state; }
    // Listens on the settings' listen port; the log is opened apart (openLog).
    StartResult start();

    const MessageStore &messages() const { return m_store; }
    const TransactionLog &log() const { return m_log; }
    qint64 transactionCount() const { return m_transactionCount; }
    QByteArray lastAcknowledgement() const { return m_lastAck; }
    // The timestamp of the last acknowledgement or connection.
    QString lastStamp() const { return m_stamp; }
    QString localIP() const;
    bool isListening() const;
    // A sender is connected.
    bool isConnected() const;
    // Answers queued for the sender that its kernel has not taken yet.
    qint64 answerBytesQueued() const;
    // The port the listener is bound to (the one the system chose for 0).
    quint16 listeningPort() const;

    // Opens the log at the record's location; false when it cannot be
    // opened. Lines an earlier run could not write go first.
    bool openLog();
    // One more try for lines still waiting, then the log is closed; those
    // that still cannot go stay for the next log opened.
    void closeLog();
    // Sets element 0 up and listens: 0 or the socket error's number.
    int listen(const Endpoint &endpoint);
    // Closes the log and every endpoint, answers still queued included.
    void stop();
    void closeAllEndpoints();
    void clearMessages();

    // Answers waiting for their delay.
    qsizetype answersWaiting() const { return qsizetype(m_delayed.size()); }

    // The socket events, as the endpoints raise them.
    void connectionRequest(int index, qint32 requestId);
    void dataArrival(int index);
    void arrivalsSettled(int index);
    void peerClose(int index);

signals:
    void stateChanged(InterfaceEngine::State state);
    // A sender's connection was accepted, at `stamp`.
    void connectionEstablished(const QString &stamp, const QString &peerAddress, quint16 peerPort);
    // Messages were answered since the last time: the owner catches up.
    void messagesAdded();
    // The texts of notices, each told once per failure.
    void logWriteFailed(const QString &notice);
    void spillFailed(const QString &notice);
    // The store, in memory since a spill failed, is on disk again.
    void spillRecovered(const QString &notice);
    // An error on an endpoint, with its Windows Sockets number (never 0).
    void socketError(int index, int number);

private:
    struct DelayedAnswer
    {
        quint64 connection;
        qint64 message;
        QByteArray head; // the message's first segment, for its fields
        qint64 dueMs;
    };

    // One message is in the store and the log: it is answered as the
    // options say. `head` holds at least the message's first segment.
    void answer(int index, qint64 message, QByteArrayView head, qint64 arrivedMs);
    void sendAnswer(int index, qint64 message, QByteArrayView head, qint64 nowMs);
    void sendDueAnswers();
    // The connection is over: an open block is kept as incomplete and
    // answers still waiting for it are dropped.
    void endConnection();
    void takeWholeMessages(int index, const QByteArray &arrival);
    void keepStoreOnDisk();
    void outside(QByteArrayView bytes) override;
    void blockBegins() override;
    void blockBytes(QByteArrayView bytes) override;
    void blockEnds() override;
    void blockIncomplete() override;
    void endBlock(MessageInfo::Kind kind);
    void logBlockBytes();

    void reportLogWriteFailure();
    void keepRetryingLog();
    void retryLogLines();

    void setState(State state);
    // The timestamp of now, kept as lastStamp().
    QString buildTimeStamp();

    const ProbeSettings &m_settings;
    State m_state = State::Stopped;
    Winsock *m_winsock = nullptr;
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

    // The connection messages arrive on now, counted from 1 at each accept.
    quint64 m_connection = 0;
    int m_connectionIndex = 1;
    std::deque<DelayedAnswer> m_delayed;
    QTimer m_delayTimer;

    // The block being gathered, in whole-message mode.
    MllpGatherer m_gatherer;
    bool m_gathering = false;
    quint64 m_arrival = 0;        // arrivals taken since start-up
    quint64 m_blockArrival = 0;   // the last arrival that held bytes of the block
    MessageInfo m_block;
    QByteArray m_blockHead;       // its first segment, or as much as the cap
    bool m_blockHeadDone = false;
    // The block's bytes of this arrival, not yet logged: a block that ends in
    // the same arrival goes to the log with its CR LF in one write.
    QByteArray m_blockUnlogged;
    const QByteArray *m_arrivalBytes = nullptr; // the arrival being gathered
};
