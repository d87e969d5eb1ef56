#pragma once

// A TLS sender on 127.0.0.1 (QSslSocket) for the tests of the TLS listener.
// Its waits keep the event loop of this thread turning, so the code under
// test, living on the same thread, can answer meanwhile.

#include "testbase.h"

#include <QByteArrayView>
#include <QSslSocket>
#include <QString>

class TlsClient
{
public:
    TlsClient() = default;
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    // Connects trusting caCert for the name "localhost", showing the
    // certificate and key when given, and waits until the handshake is
    // complete on our side (true) or failed (false, error() says why).
    // Under TLS 1.3 the server may still refuse our certificate after this.
    bool connectTo(quint16 port, const QString &caCert, const QString &certificate = {},
                   const QString &key = {});
    // The versions offered from the next connectTo on (by default 1.2 and up).
    void setProtocol(QSsl::SslProtocol protocol) { m_protocol = protocol; }
    bool isEncrypted() const { return m_socket.isEncrypted(); }
    QString protocolName() const;

    // Until every byte has gone to the kernel, or the connection ended.
    bool send(QByteArrayView bytes, int timeoutMs = WaitMs);
    // Until count bytes came, the connection ended or the time is up.
    QByteArray receive(qsizetype count, int timeoutMs = WaitMs);
    // Until the server ended the connection; false when it did not in time.
    bool waitForEnd(int timeoutMs = WaitMs);
    // Takes at most this much into our buffer: a slow reader lets the
    // server's answers pile up in the kernel's queues.
    void setReadBufferSize(qint64 bytes) { m_socket.setReadBufferSize(bytes); }
    // The last error, with the certificate errors if any.
    QString error() const;
    // close_notify, then the end of data.
    void close();
    // An abortive close under the session: the server sees a reset.
    void reset();
    // Bytes straight onto the socket, under the session: the server reads
    // them as a broken record.
    bool sendRaw(QByteArrayView bytes);

private:
    QSslSocket m_socket;
    QSsl::SslProtocol m_protocol = QSsl::TlsV1_2OrLater;
};
