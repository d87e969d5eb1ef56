#include "tlsclient.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <sys/socket.h>

bool TlsClient::connectTo(quint16 port, const QString &caCert, const QString &certificate, const QString &key)
{
    m_socket.abort();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslCertificate::fromPath(caCert));
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    configuration.setProtocol(m_protocol);
    if (!certificate.isEmpty()) {
        const QList<QSslCertificate> local = QSslCertificate::fromPath(certificate);
        QFile keyFile(key);
        if (local.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
            return false;
        configuration.setLocalCertificate(local.first());
        configuration.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
    }
    m_socket.setSslConfiguration(configuration);
    m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("localhost"));
    waitUntil([this] {
        return m_socket.isEncrypted() || m_socket.error() != QAbstractSocket::UnknownSocketError
            || m_socket.state() == QAbstractSocket::UnconnectedState;
    });
    return m_socket.isEncrypted();
}

bool TlsClient::send(QByteArrayView bytes)
{
    const auto connected = [this] { return m_socket.state() == QAbstractSocket::ConnectedState; };
    return m_socket.write(bytes.data(), bytes.size()) == bytes.size() && waitUntil([&] {
        return (m_socket.bytesToWrite() == 0 && m_socket.encryptedBytesToWrite() == 0) || !connected();
    }) && connected();
}

QByteArray TlsClient::receive(qsizetype count)
{
    QByteArray received;
    waitUntil([&] {
        received += m_socket.read(count - received.size());
        return received.size() >= count
            || (m_socket.state() == QAbstractSocket::UnconnectedState && m_socket.bytesAvailable() == 0);
    });
    return received;
}

bool TlsClient::waitForEnd()
{
    return waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; });
}

QString TlsClient::error() const
{
    QString text = m_socket.errorString();
    for (const QSslError &error : m_socket.sslHandshakeErrors())
        text += QStringLiteral("; ") + error.errorString();
    return text;
}

void TlsClient::close()
{
    m_socket.disconnectFromHost();
    waitForEnd();
}

void TlsClient::reset()
{
    const linger abortive{1, 0};
    ::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    m_socket.abort();
}

bool TlsClient::sendRaw(QByteArrayView bytes)
{
    return ::send(int(m_socket.socketDescriptor()), bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL)
        == bytes.size();
}
