#include "sockets/tlsio.h"

#include "system/unixfile.h"

#include <QElapsedTimer>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace TlsIo {

void SslFree::operator()(ssl_st *ssl) const noexcept { SSL_free(ssl); }
void SslCtxFree::operator()(ssl_ctx_st *ctx) const noexcept { SSL_CTX_free(ctx); }

namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// peer gone away; ours sends with MSG_NOSIGNAL, as the plain path does.
int socketOf(BIO *bio)
{
    return int(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

bool retryable(int error)
{
    return SocketIo::wouldBlock(error) || error == EINTR;
}

int bioWrite(BIO *bio, const char *data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(socketOf(bio), data, size_t(size), MSG_NOSIGNAL);
    if (n < 0 && retryable(errno))
        BIO_set_retry_write(bio);
    return int(n);
}

int bioRead(BIO *bio, char *data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(socketOf(bio), data, size_t(size), 0);
    if (n == 0)
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF); // the library asks BIO_eof() to tell an end of data
    else if (n < 0 && retryable(errno))
        BIO_set_retry_read(bio);
    return int(n);
}

long bioControl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    default:
        return 0;
    }
}

const BIO_METHOD *socketMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "ackprobe socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
        }
        return m;
    }();
    return method;
}

QString libraryReason(unsigned long error)
{
    if (const char *reason = ERR_reason_error_string(error))
        return QString::fromLatin1(reason);
    char text[256] = {};
    ERR_error_string_n(error, text, sizeof text);
    return QString::fromLatin1(text);
}

QString closedDuringHandshake()
{
    return QStringLiteral("the sender closed the connection during the handshake");
}

} // namespace

SslPtr newServerSession(ssl_ctx_st *ctx, int fd, QString *error)
{
    ERR_clear_error();
    SslPtr ssl(SSL_new(ctx));
    const BIO_METHOD *method = socketMethod();
    BIO *bio = ssl && method ? BIO_new(method) : nullptr;
    if (!bio) {
        const unsigned long e = ERR_get_error();
        *error = e ? libraryReason(e) : systemReason(ENOMEM);
        ERR_clear_error();
        return {};
    }
    BIO_set_data(bio, reinterpret_cast<void *>(std::intptr_t(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl.get(), bio, bio); // one reference for both directions
    SSL_set_accept_state(ssl.get());
    return ssl;
}

Step accept(ssl_st *ssl, QString *reason)
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_accept(ssl);
    if (result == 1)
        return Step::Done;
    const int code = SSL_get_error(ssl, result);
    const int system = errno;
    const unsigned long first = ERR_peek_error();
    switch (code) {
    case SSL_ERROR_WANT_READ:
        return Step::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Step::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        *reason = closedDuringHandshake();
        break;
    case SSL_ERROR_SYSCALL:
        if (first != 0)
            *reason = libraryReason(first);
        else if (system == EINTR)
            return Step::WantRead;
        else
            *reason = system != 0 ? systemReason(system) : closedDuringHandshake();
        break;
    default: {
        *reason = first != 0 ? libraryReason(first) : QStringLiteral("the handshake failed");
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK)
            *reason += QStringLiteral(": ") + QString::fromLatin1(X509_verify_cert_error_string(verify));
    }
    }
    ERR_clear_error();
    return Step::Failed;
}

ReadResult readWaiting(ssl_st *ssl, char *buffer, QByteArray &into)
{
    ReadResult r;
    // A record is at most 16 KiB, so one read never tells the socket drained:
    // the session is read until it wants the socket again.
    while (r.bytes < SocketIo::MaxArrival) {
        ERR_clear_error();
        errno = 0;
        const int n = SSL_read(ssl, buffer, int(SocketIo::ReadChunk));
        if (n > 0) {
            into.append(buffer, n);
            r.bytes += n;
            continue;
        }
        const int code = SSL_get_error(ssl, n);
        const int system = errno;
        const bool libraryError = ERR_peek_error() != 0;
        ERR_clear_error();
        switch (code) {
        case SSL_ERROR_WANT_READ:
            return r;
        case SSL_ERROR_WANT_WRITE:
            r.wantWrite = true;
            return r;
        case SSL_ERROR_ZERO_RETURN:
            r.peerClosed = true;
            return r;
        case SSL_ERROR_SYSCALL:
            if (!libraryError && system == EINTR)
                continue;
            if (libraryError)
                r.error = EPROTO;
            else if (system != 0)
                r.error = system;
            else
                r.peerClosed = true;
            return r;
        default:
            r.error = EPROTO;
            return r;
        }
    }
    return r;
}

ReadResult readWithin(ssl_st *ssl, char *buffer, QByteArray &into, qint64 patienceNs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const ReadResult r = readWaiting(ssl, buffer, into);
        if (r.bytes > 0 || r.peerClosed || r.error != 0 || r.wantWrite || waited.nsecsElapsed() >= patienceNs)
            return r;
    }
}

int sendQueued(ssl_st *ssl, QByteArray &queue, bool *wantRead)
{
    *wantRead = false;
    while (!queue.isEmpty()) {
        ERR_clear_error();
        errno = 0;
        // A write cut short is tried again with the same bytes at the front,
        // wherever the queue has moved them meanwhile.
        const int n = SSL_write(ssl, queue.constData(), int(std::min<qsizetype>(queue.size(), INT_MAX)));
        if (n > 0) {
            queue.remove(0, n);
            continue;
        }
        const int code = SSL_get_error(ssl, n);
        const int system = errno;
        const bool libraryError = ERR_peek_error() != 0;
        ERR_clear_error();
        if (code == SSL_ERROR_WANT_WRITE)
            break;
        if (code == SSL_ERROR_WANT_READ) {
            *wantRead = true;
            break;
        }
        if (code == SSL_ERROR_SYSCALL && !libraryError && system == EINTR)
            continue;
        if (code == SSL_ERROR_SYSCALL && !libraryError && system != 0)
            return system;
        return code == SSL_ERROR_SSL || libraryError ? EPROTO : EPIPE;
    }
    if (queue.isEmpty())
        queue.clear(); // gives back what a backlog grew to
    return 0;
}

void shutdown(ssl_st *ssl)
{
    if (!SSL_is_init_finished(ssl) || (SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN))
        return;
    ERR_clear_error();
    SSL_shutdown(ssl);
    ERR_clear_error();
}

QString protocol(const ssl_st *ssl)
{
    return QString::fromLatin1(SSL_get_version(ssl));
}

QString cipher(const ssl_st *ssl)
{
    return QString::fromLatin1(SSL_CIPHER_get_name(SSL_get_current_cipher(ssl)));
}

QString peerSubject(const ssl_st *ssl)
{
    const X509 *certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate)
        return {};
    const std::unique_ptr<BIO, decltype(&BIO_free)> text(BIO_new(BIO_s_mem()), &BIO_free);
    if (!text || X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(text.get(), &data);
    return QString::fromUtf8(data, size);
}

} // namespace TlsIo
