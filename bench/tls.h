// TLS for the benchmark's sender and reference: OpenSSL over a non-blocking
// socket, every wait a poll() on the socket, so a stalled peer is noticed.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <string>
#include <sys/types.h>

namespace benchtls {
struct ContextFree
{
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SessionFree
{
    void operator()(SSL *s) const { SSL_free(s); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;
using Session = std::unique_ptr<SSL, SessionFree>;

// The oldest error OpenSSL queued, as text (the queue is emptied); with none,
// the system's (waitFor() sets ETIMEDOUT), or a close by the peer.
inline std::string lastError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return errno != 0 ? std::strerror(errno) : "the connection was closed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Waits for what OpenSSL asked of the socket; false on a real error, a
// closed connection or the time running out (timeoutMs < 0: no limit).
inline bool waitFor(SSL *ssl, int result, int timeoutMs)
{
    const int error = SSL_get_error(ssl, result);
    const short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0)
        return false;
    pollfd p{SSL_get_fd(ssl), events, 0};
    int ready;
    do
        ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0)
        errno = ETIMEDOUT;
    return ready > 0;
}

inline bool handshake(SSL *ssl, bool server, int timeoutMs)
{
    errno = 0;
    for (;;) {
        const int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
        if (r == 1)
            return true;
        if (!waitFor(ssl, r, timeoutMs))
            return false;
    }
}

inline bool writeAll(SSL *ssl, const char *bytes, size_t size, int timeoutMs)
{
    while (size > 0) {
        const int r = SSL_write(ssl, bytes, int(size));
        if (r > 0) {
            bytes += r;
            size -= size_t(r);
        } else if (!waitFor(ssl, r, timeoutMs)) {
            return false;
        }
    }
    return true;
}

// What one SSL_read gives: > 0 bytes, 0 when the peer closed, -1 otherwise.
// For spinUs it asks again without sleeping before it waits on the socket.
inline ssize_t readSome(SSL *ssl, char *buffer, size_t size, long spinUs, int timeoutMs)
{
    const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(spinUs);
    for (;;) {
        const int r = SSL_read(ssl, buffer, int(size));
        if (r > 0)
            return r;
        const int error = SSL_get_error(ssl, r);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_WANT_READ && spinUs > 0 && std::chrono::steady_clock::now() < spinUntil)
            continue;
        if (!waitFor(ssl, r, timeoutMs))
            return -1;
    }
}

// Why the peer's certificate was refused, when that was the reason.
inline std::string verifyFailure(SSL *ssl)
{
    const long result = SSL_get_verify_result(ssl);
    return result == X509_V_OK ? lastError() : X509_verify_cert_error_string(result);
}
} // namespace benchtls
