#pragma once

// What the TLS connections and the retiring pool share over OpenSSL: owned
// handles, and reading and writing through a session on a non-blocking
// socket. No OpenSSL header here, so the layers above need none.

#include "sockets/socketio.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct ssl_st;
struct ssl_ctx_st;

namespace TlsIo {

struct SslFree { void operator()(ssl_st *ssl) const noexcept; };
struct SslCtxFree { void operator()(ssl_ctx_st *ctx) const noexcept; };
using SslPtr = std::unique_ptr<ssl_st, SslFree>;
using SslCtxPtr = std::unique_ptr<ssl_ctx_st, SslCtxFree>;

// A server session over fd (not owned: the socket outlives it), or null with
// *error the library's words. Its writes never raise SIGPIPE.
SslPtr newServerSession(ssl_ctx_st *ctx, int fd, QString *error);

enum class Step { Done, WantRead, WantWrite, Failed };

// One step of the server's handshake; on Failed, *reason says why.
Step accept(ssl_st *ssl, QString *reason);

// As SocketIo::readWaiting, through the session: at most MaxArrival, until
// the session has nothing more. peerClosed on close_notify or the end of
// data; error ECONNRESET for a reset, EPROTO for anything wrong in TLS.
// wantWrite: the session must write before it reads on.
struct ReadResult : SocketIo::ReadResult
{
    bool wantWrite = false;
};
ReadResult readWaiting(ssl_st *ssl, char *buffer, QByteArray &into);
// As SocketIo::readWithin, through the session.
ReadResult readWithin(ssl_st *ssl, char *buffer, QByteArray &into, qint64 patienceNs);

// Hands the session what it takes of queue now. Returns 0 or the errno;
// *wantRead when the session must read before it writes on.
int sendQueued(ssl_st *ssl, QByteArray &queue, bool *wantRead);

// Sends close_notify once, without waiting for the peer's; best effort.
void shutdown(ssl_st *ssl);

// The version ("TLSv1.3"), the cipher, and the sender's certificate subject
// in RFC 2253 form ("CN=sender,O=Test", empty without one).
QString protocol(const ssl_st *ssl);
QString cipher(const ssl_st *ssl);
QString peerSubject(const ssl_st *ssl);

} // namespace TlsIo
