#pragma once

#include "interface/acknowledgement.h"
#include "interface/messagestore.h"
#include "interface/transactionlog.h"
#include "settings/settingsrecord.h"

#include <QObject>
#include <QTimer>

class Winsock;

// The interface without any window: the listening endpoint and the one
// connection, the transaction log, the received messages, the counter and
// the acknowledgement. It answers every message itself, before anyone hears
// of it; its owner learns what happened through the signals and shows it.
// The settings are read from the record the owner holds, at each use.
class InterfaceEngine : public QObject
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

    explicit InterfaceEngine(const SettingsRecord &record, QObject *parent = nullptr);
    ~InterfaceEngine() override;

    Winsock &winsock() const { return *m_winsock; }
    const MessageStore &messages() const { return m_store; }
    const TransactionLog &log() const { return m_log; }
    qint64 transactionCount() const { return m_transactionCount; }
    QByteArray lastAcknowledgement() const { return m_lastAck; }
    // The timestamp of the last acknowledgement or connection.
    QString lastStamp() const { return m_stamp; }
    QString localIP() const;

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
    // The timestamp of now, kept as lastStamp().
    QString buildTimeStamp();
    // The answer for the next message, kept as lastAcknowledgement().
    const QByteArray &prepareAck();

    // The socket events, as the endpoints raise them.
    void connectionRequest(int index, qint32 requestId);
    void dataArrival(int index);
    void arrivalsSettled(int index);
    void peerClose(int index);

signals:
    // "Connection Established", "Connection closed.Waiting for reconnect."
    // and "Connection Stopped", as each happens.
    void statusChanged(const QString &status);
    // A sender's connection was accepted, at `stamp`.
    void connectionEstablished(const QString &stamp, const QString &peerAddress, quint16 peerPort);
    // Messages were answered since the last time: the owner catches up.
    void messagesAdded();
    // The texts of notices, each told once per failure.
    void logWriteFailed(const QString &notice);
    void spillFailed(const QString &notice);
    // An error on an endpoint, with its Windows Sockets number (never 0).
    void socketError(int index, int number);

private:
    void reportLogWriteFailure();
    void keepRetryingLog();
    void retryLogLines();

    const SettingsRecord &m_record;
    Winsock *m_winsock = nullptr;
    MessageStore m_store;
    TransactionLog m_log;
    qint64 m_transactionCount = 0;
    QString m_stamp;
    TimeStampClock m_clock;
    AcknowledgementCache m_ackCache;
    QByteArray m_lastAck;
    bool m_logWriteFailureReported = false;
    bool m_spillFailureReported = false;
    // Retries the lines the log could not take yet, about once a second,
    // only while there are any.
    QTimer m_logRetry;
};
