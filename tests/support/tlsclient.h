#pragma once

// A TLS sender on 127.0.0.1 (QSslSocket). Its waits keep the event loop of
// this thread turning, so the code under test on the same thread can answer.

#include "testbase.h"

#include <QSslSocket>

class TlsClient
{
public:
    TlsClient() = default;
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    // Trusts caCert for the name "localhost", shows certificate and key when
    // given, and waits for the handshake on our side: false when it failed
    // (error() says why). Under TLS 1.3 the server may refuse us after it.
    bool connectTo(quint16 port, const QString &caCert, const QString &certificate = {}, const QString &key = {});
    // The versions offered from the next connectTo on (by default 1.2 and up).
    void setProtocol(QSsl::SslProtocol protocol) { m_protocol = protocol; }
    QSsl::SslProtocol sessionProtocol() const { return m_socket.sessionProtocol(); }
    // Until every byte has gone to the kernel; false when the connection ended first.
    bool send(QByteArrayView bytes);
    // Until count bytes came or the connection ended.
    QByteArray receive(qsizetype count);
    // Until the server ended the connection; false when it did not in time.
    bool waitForEnd();
    // A slow reader: the server's answers pile up in the kernel's queues.
    void setReadBufferSize(qint64 bytes) { m_socket.setReadBufferSize(bytes); }
    QString error() const; // with the certificate errors if any
    void close();          // close_notify, then the end of data
    void reset();          // abortive, under the session: the server sees a reset
    // Bytes straight onto the socket, under the session: a broken record.
    bool sendRaw(QByteArrayView bytes);

private:
    QSslSocket m_socket;
    QSsl::SslProtocol m_protocol = QSsl::TlsV1_2OrLater;
};
