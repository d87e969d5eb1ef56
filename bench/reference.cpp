// The reference responders: the smallest servers that answer every read with
// the fixed 51-byte acknowledgement. What the program is measured against.
//
//   bench_reference PORT             sleeps in recv() between messages
//   bench_reference PORT --poll-us N after each answer, polls the connection
//                                    without sleeping for N us before it
//                                    sleeps in recv(): as the program does
//   bench_reference PORT --log FILE  appends each arrival and CR LF to FILE
//                                    before it answers: as the program does
//   bench_reference PORT --epoll     one thread serves every connection at
//                                    once (epoll), none replacing another;
//                                    --poll-us then polls epoll after answers
//   bench_reference PORT --tls CERT KEY [--client-ca CA]
//                                    one connection at a time over TLS 1.2/1.3
//                                    (with --client-ca: a client certificate
//                                    required and verified)
// --poll-us and --log may be given with any of them.

#include "tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>

namespace {
// The next arrival: first looked for without sleeping for pollUs, then waited for.
ssize_t receive(int fd, char *buffer, size_t size, long pollUs)
{
    if (pollUs > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pollUs);
        do {
            const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return n;
        } while (std::chrono::steady_clock::now() < until);
    }
    return ::recv(fd, buffer, size, 0);
}

// One arrival and CR LF in one append; a short write goes on where it stopped.
bool logLine(int log, const char *bytes, size_t size)
{
    char lineEnd[] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char *>(bytes), size}, {lineEnd, 2}};
    iovec *part = parts;
    int count = 2;
    while (count > 0) {
        ssize_t written = ::writev(log, part, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        while (count > 0 && size_t(written) >= part->iov_len) {
            written -= ssize_t(part->iov_len);
            ++part;
            --count;
        }
        if (count > 0) {
            part->iov_base = static_cast<char *>(part->iov_base) + written;
            part->iov_len -= size_t(written);
        }
    }
    return true;
}


const char ack[] = "\x0bMSH|||||202612070815||ACK|||||||||\rMSA|AA||||||\r\x1c\r";
constexpr size_t ackSize = sizeof ack - 1;

struct Options
{
    long pollUs = 0;
    const char *logName = nullptr;
    bool epoll = false;
    const char *certificate = nullptr; // with key: TLS
    const char *key = nullptr;
    const char *clientCas = nullptr;
};

bool parse(int argc, char **argv, Options &o)
{
    if (argc < 2)
        return false;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const int values = option == "--epoll" ? 0 : option == "--tls" ? 2 : 1;
        if (i + values >= argc)
            return false;
        if (option == "--poll-us")
            o.pollUs = std::atol(argv[i + 1]);
        else if (option == "--log")
            o.logName = argv[i + 1];
        else if (option == "--client-ca")
            o.clientCas = argv[i + 1];
        else if (option == "--epoll")
            o.epoll = true;
        else if (option == "--tls")
            o.certificate = argv[i + 1], o.key = argv[i + 2];
        else
            return false;
        i += values;
    }
    return !(o.epoll && o.certificate) && !(o.clientCas && !o.certificate);
}

// One connection at a time, sleeping in recv() or polling first: the first reference.
void servePlain(int listener, int log, const Options &o)
{
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        char buffer[65536];
        ssize_t n;
        while ((n = receive(fd, buffer, sizeof buffer, o.pollUs)) > 0) {
            if (log >= 0 && !logLine(log, buffer, size_t(n))) {
                std::perror(o.logName);
                std::exit(1);
            }
            if (::send(fd, ack, ackSize, MSG_NOSIGNAL) < 0)
                break;
        }
        ::close(fd);
    }
}

// Every connection at once on one thread. An answer the socket cannot take at
// once waits in unsent (and the connection for EPOLLOUT), so no sender that
// does not read holds up the others.
int serveEpoll(int listener, int log, const Options &o)
{
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = listener;
    if (ep < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &watch) != 0) {
        std::perror("bench_reference: epoll");
        return 1;
    }
    std::unordered_map<int, std::string> unsent;
    auto drop = [&](int fd) {
        ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        unsent.erase(fd);
    };
    auto flush = [&](int fd, std::string &pending) {
        while (!pending.empty()) {
            const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            pending.erase(0, size_t(n));
        }
        return true;
    };
    static epoll_event events[256];
    static char buffer[65536];
    bool answered = false;
    for (;;) {
        int ready = 0;
        if (answered && o.pollUs > 0) {
            // The next arrival looked for without sleeping, as the program does.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(o.pollUs);
            do
                ready = ::epoll_wait(ep, events, 256, 0);
            while (ready == 0 && std::chrono::steady_clock::now() < until);
        }
        if (ready == 0)
            ready = ::epoll_wait(ep, events, 256, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("bench_reference: epoll_wait");
            return 1;
        }
        answered = false;
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == listener) {
                int client;
                while ((client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    epoll_event add{};
                    add.events = EPOLLIN;
                    add.data.fd = client;
                    if (::epoll_ctl(ep, EPOLL_CTL_ADD, client, &add) != 0)
                        ::close(client);
                }
                continue;
            }
            const auto waiting = unsent.find(fd);
            if ((events[e].events & EPOLLOUT) && waiting != unsent.end()) {
                if (!flush(fd, waiting->second)) {
                    drop(fd);
                    continue;
                }
                if (waiting->second.empty()) {
                    epoll_event in{};
                    in.events = EPOLLIN;
                    in.data.fd = fd;
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &in);
                    unsent.erase(waiting);
                }
            }
            if (!(events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n <= 0) {
                drop(fd);
                continue;
            }
            if (log >= 0 && !logLine(log, buffer, size_t(n))) {
                std::perror(o.logName);
                return 1;
            }
            answered = true;
            const auto behind = unsent.find(fd);
            if (behind != unsent.end()) {
                behind->second.append(ack, ackSize); // after what still waits, in order
                continue;
            }
            const ssize_t sent = ::send(fd, ack, ackSize, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == ssize_t(ackSize))
                continue;
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop(fd);
                continue;
            }
            unsent[fd].assign(ack + std::max<ssize_t>(sent, 0), ack + ackSize);
            epoll_event out{};
            out.events = EPOLLIN | EPOLLOUT;
            out.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &out);
        }
    }
}

benchtls::Context serverContext(const Options &o)
{
    benchtls::Context context(SSL_CTX_new(TLS_server_method()));
    const char *failed = nullptr;
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1)
        failed = "TLS";
    else if (SSL_CTX_use_certificate_chain_file(context.get(), o.certificate) != 1)
        failed = o.certificate;
    else if (SSL_CTX_use_PrivateKey_file(context.get(), o.key, SSL_FILETYPE_PEM) != 1
             || SSL_CTX_check_private_key(context.get()) != 1)
        failed = o.key;
    else if (o.clientCas && SSL_CTX_load_verify_locations(context.get(), o.clientCas, nullptr) != 1)
        failed = o.clientCas;
    if (failed) {
        std::fprintf(stderr, "bench_reference: %s: %s\n", failed, benchtls::lastError().c_str());
        return {};
    }
    if (o.clientCas)
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return context;
}

// One connection at a time over TLS; a client that fails its handshake (or
// only checks that the port is open) is dropped and the next one taken.
int serveTls(int listener, int log, const Options &o)
{
    const benchtls::Context context = serverContext(o);
    if (!context)
        return 1;
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        benchtls::Session ssl(SSL_new(context.get()));
        if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && benchtls::handshake(ssl.get(), true, 10000)) {
            char buffer[65536];
            ssize_t n;
            while ((n = benchtls::readSome(ssl.get(), buffer, sizeof buffer, o.pollUs, -1)) > 0) {
                if (log >= 0 && !logLine(log, buffer, size_t(n))) {
                    std::perror(o.logName);
                    return 1;
                }
                if (!benchtls::writeAll(ssl.get(), ack, ackSize, 10000))
                    break;
            }
            if (n == 0)
                SSL_shutdown(ssl.get());
        }
        ERR_clear_error();
        ssl.reset();
        ::close(fd);
    }
}
} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: bench_reference PORT [--epoll | --tls CERT KEY [--client-ca CA]] "
                             "[--poll-us N] [--log FILE]\n");
        return 2;
    }
    // Opened as the program opens its logfile: appended to, never truncated.
    const int log = o.logName ? ::open(o.logName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666) : -1;
    if (o.logName && log < 0) {
        std::perror(o.logName);
        return 1;
    }
    // A client gone while OpenSSL writes must not end the reference.
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
        || ::listen(listener, o.epoll ? 1024 : 8) != 0) {
        std::perror("bench_reference");
        return 1;
    }
    if (o.epoll)
        return serveEpoll(listener, log, o);
    if (o.certificate)
        return serveTls(listener, log, o);
    servePlain(listener, log, o);
}
