#pragma once

#include "sockets/tlsio.h"

#include <QString>

#include <memory>

// The server side of TLS over OpenSSL: our certificate and key, TLS 1.2 at
// least, and optionally the authorities a sender's certificate must come from.
class TlsContext
{
public:
    // A sender that connects and says nothing must not hold a connection
    // in its handshake for ever.
    static constexpr int HandshakeTimeoutMs = 10000;

    // PEM paths; clientCAs may be empty (no client certificate asked for).
    struct Files
    {
        QString certificate;
        QString key;
        QString clientCAs;
    };

    // The server's context, or null with *error saying why and naming the
    // file: unreadable, not PEM, no certificate or key in it, a key that does
    // not match, a certificate out of its validity, client CAs unreadable or
    // empty. With clientCAs a sender must show a certificate they signed, and
    // their names go out as the acceptable authorities.
    // Its connections' handshakes fail when not complete within
    // `handshakeTimeoutMs`.
    static std::shared_ptr<TlsContext> load(const Files &files, QString *error,
                                            int handshakeTimeoutMs = HandshakeTimeoutMs);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    ssl_ctx_st *handle() const { return m_ctx.get(); }
    bool requiresClientCertificate() const { return m_clientCertificates; }
    int handshakeTimeoutMs() const { return m_handshakeTimeoutMs; }

private:
    TlsContext(TlsIo::SslCtxPtr ctx, bool clientCertificates, int handshakeTimeoutMs);

    TlsIo::SslCtxPtr m_ctx;
    bool m_clientCertificates;
    int m_handshakeTimeoutMs;
};
