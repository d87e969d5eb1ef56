#pragma once

#include "sockets/tlsio.h"

#include <QString>

#include <memory>

// The server side of TLS over OpenSSL: our certificate and key, TLS 1.2 at
// least, and optionally the authorities a sender's certificate must come from.
class TlsContext
{
public:
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
    static std::shared_ptr<TlsContext> load(const Files &files, QString *error);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    ssl_ctx_st *handle() const { return m_ctx.get(); }
    bool requiresClientCertificate() const { return m_clientCertificates; }

private:
    TlsContext(TlsIo::SslCtxPtr ctx, bool clientCertificates);

    TlsIo::SslCtxPtr m_ctx;
    bool m_clientCertificates;
};
