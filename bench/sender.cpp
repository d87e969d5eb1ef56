// A sending system for measurements: MLLP-framed HL7 v2 messages of a chosen
// size, each with its own control id, either synchronous (send, wait for the
// acknowledgement) or as a flood (send everything, read what comes back).
// Synchronous senders may be several at once, each on its own connection and
// thread, and may speak TLS. It prints one line of figures and gives up
// cleanly when the receiver makes no progress for a few seconds.

#include "message.h"
#include "tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

struct Options
{
    int port = 0;
    long count = 10000; // per connection
    int size = 400;
    bool flood = false;
    long segment = 10000; // throughput of the first and the last this many
    int stallSeconds = 5;
    int connectSeconds = 0; // >0: wait for the receiver to listen, report the time
    long long sinceNs = 0;  // the wall-clock moment (ns) the receiver was launched
    bool trace = false;     // the rate of every segment on standard error
    int connections = 1;    // synchronous senders at once, each its own connection
    std::string caFile;     // set: TLS, the receiver verified against this CA
    std::string clientCert; // with clientKey: the certificate shown when asked
    std::string clientKey;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (key == "--port") o.port = int(value);
        else if (key == "--count") o.count = value;
        else if (key == "--size") o.size = int(value);
        else if (key == "--flood") o.flood = value != 0;
        else if (key == "--segment") o.segment = value;
        else if (key == "--stall-seconds") o.stallSeconds = int(value);
        else if (key == "--connect-seconds") o.connectSeconds = int(value);
        else if (key == "--since-ns") o.sinceNs = std::atoll(argv[i + 1]);
        else if (key == "--trace") o.trace = value != 0;
        else if (key == "--connections") o.connections = int(value);
        else if (key == "--tls") o.caFile = argv[i + 1];
        else if (key == "--client-cert") o.clientCert = argv[i + 1];
        else if (key == "--client-key") o.clientKey = argv[i + 1];
    }
    return o;
}

int connectTo(int port, int waitSeconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(waitSeconds, 1));
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        if (waitSeconds <= 0 || Clock::now() > deadline)
            return -1;
        ::usleep(200);
    }
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

bool sendAll(int fd, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// One connection to the receiver, plain or TLS; closed when it goes.
class Link
{
public:
    explicit Link(int fd) : fd_(fd) {}
    Link(Link &&other) noexcept : fd_(std::exchange(other.fd_, -1)), ssl_(std::move(other.ssl_)) {}
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    ~Link()
    {
        if (ssl_)
            SSL_shutdown(ssl_.get()); // close_notify, so the receiver sees a clean end
        ssl_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool open() const { return fd_ >= 0; }

    // The handshake, the receiver's certificate checked for "localhost".
    bool startTls(SSL_CTX *context, int timeoutMs)
    {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        ssl_.reset(SSL_new(context));
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1 || SSL_set1_host(ssl_.get(), "localhost") != 1
            || SSL_set_tlsext_host_name(ssl_.get(), "localhost") != 1) {
            std::fprintf(stderr, "sender: TLS: %s\n", benchtls::lastError().c_str());
            return false;
        }
        if (!benchtls::handshake(ssl_.get(), false, timeoutMs)) {
            std::fprintf(stderr, "sender: TLS handshake failed: %s\n",
                         benchtls::verifyFailure(ssl_.get()).c_str());
            return false;
        }
        return true;
    }

    bool send(const std::string &bytes, int timeoutMs)
    {
        return ssl_ ? benchtls::writeAll(ssl_.get(), bytes.data(), bytes.size(), timeoutMs)
                    : sendAll(fd_, bytes);
    }

    // > 0 bytes, 0 when the receiver closed, -1 on an error or no data in time.
    ssize_t receive(char *buffer, size_t size, int timeoutMs)
    {
        if (ssl_)
            return benchtls::readSome(ssl_.get(), buffer, size, 0, timeoutMs);
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return -1;
        return ::recv(fd_, buffer, size, 0);
    }

private:
    int fd_;
    benchtls::Session ssl_;
};

// Reads until one acknowledgement has ended (FS CR) and takes it off pending:
// nullptr when it came whole (VT ... FS CR), otherwise why it did not.
const char *readAck(Link &link, int stallSeconds, std::string &pending)
{
    for (;;) {
        const auto end = pending.find("\x1c\r");
        if (end != std::string::npos) {
            const bool whole = pending.front() == '\x0b';
            pending.erase(0, end + 2);
            return whole ? nullptr : "an answer without its start byte VT";
        }
        char buffer[4096];
        const ssize_t n = link.receive(buffer, sizeof buffer, stallSeconds * 1000);
        if (n == 0)
            return "closed by the receiver";
        if (n < 0)
            return "no acknowledgement";
        pending.append(buffer, size_t(n));
    }
}

// What one synchronous connection measured.
struct Run
{
    std::vector<double> latencies;
    long errors = 0;
    Clock::time_point end{}, firstSegmentEnd{}, lastSegmentStart{};
};

void synchronous(const Options &o, Link &link, int connection, Clock::time_point start, Run &run)
{
    run.latencies.reserve(size_t(std::max(o.count, 0L)));
    std::string pending;
    auto segmentStart = start;
    for (long i = 1; i <= o.count; ++i) {
        const std::string m = message(i, o.size, connection);
        if (i == o.count - o.segment + 1)
            run.lastSegmentStart = Clock::now();
        const auto t0 = Clock::now();
        const char *fault = link.send(m, o.stallSeconds * 1000) ? readAck(link, o.stallSeconds, pending)
                                                                  : "the message could not be sent";
        if (fault) {
            ++run.errors;
            if (connection == 0)
                std::fprintf(stderr, "sender: gave up at message %ld (%s)\n", i, fault);
            else
                std::fprintf(stderr, "sender: connection %d gave up at message %ld (%s)\n", connection, i, fault);
            break;
        }
        run.latencies.push_back(micros(Clock::now() - t0));
        if (i == o.segment)
            run.firstSegmentEnd = Clock::now();
        if (o.trace && connection == 0 && i % o.segment == 0) {
            const auto now = Clock::now();
            std::fprintf(stderr, "%ld %.0f\n", i, double(o.segment) / (micros(now - segmentStart) / 1e6));
            segmentStart = now;
        }
    }
    run.end = Clock::now();
}

// A connection ready to send on: TCP, then TLS when asked for.
Link dial(const Options &o, SSL_CTX *tls)
{
    Link link(connectTo(o.port, o.connectSeconds));
    if (!link.open())
        std::fprintf(stderr, "sender: cannot connect to port %d\n", o.port);
    else if (tls && !link.startTls(tls, o.stallSeconds * 1000))
        return Link(-1);
    return link;
}

// How long the receiver took to accept: from its launch (--since-ns, wall
// clock) or from ours, until the moment connected.
void printConnected(const Options &o, Clock::time_point launched, Clock::time_point connected)
{
    if (o.sinceNs > 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const long long nowNs = now.tv_sec * 1000000000LL + now.tv_nsec;
        const double sinceConnectedMs = micros(Clock::now() - connected) / 1000;
        std::printf("listening_after_launch_ms=%.1f\n", double(nowNs - o.sinceNs) / 1e6 - sinceConnectedMs);
    } else {
        std::printf("connected_after_ms=%.1f\n", micros(connected - launched) / 1000);
    }
}

// All connections connect, then start together; the rate is every message
// over the time from that start until the last connection has finished.
int synchronousAll(const Options &o, SSL_CTX *tls, Clock::time_point launched)
{
    const int n = o.connections;
    std::vector<Run> runs(size_t(n), Run{});
    std::atomic<bool> failed{false};
    Clock::time_point start{};
    std::barrier connected(n, [&start]() noexcept { start = Clock::now(); });
    std::vector<std::thread> threads;
    for (int c = 0; c < n; ++c) {
        threads.emplace_back([&, c] {
            Link link = dial(o, tls);
            if (!link.open())
                failed = true;
            connected.arrive_and_wait();
            if (!failed)
                synchronous(o, link, n == 1 ? 0 : c + 1, start, runs[size_t(c)]);
        });
    }
    for (auto &t : threads)
        t.join();
    if (failed)
        return 1;
    if (o.connectSeconds > 0)
        printConnected(o, launched, start);

    std::vector<double> sorted;
    long errors = 0;
    auto end = start;
    for (const Run &r : runs) {
        sorted.insert(sorted.end(), r.latencies.begin(), r.latencies.end());
        errors += r.errors;
        end = std::max(end, r.end);
    }
    const double seconds = micros(end - start) / 1e6;
    const long done = long(sorted.size());
    std::sort(sorted.begin(), sorted.end());
    auto pct = [&](double p) { return sorted.empty() ? 0.0 : sorted[size_t(p * double(sorted.size() - 1))]; };
    std::printf("messages=%ld seconds=%.3f rate=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f ", done, seconds,
                double(done) / seconds, pct(0.50), pct(0.99), sorted.empty() ? 0.0 : sorted.back());
    if (n == 1) {
        // The first and the last segment of the one connection: a trend over a long run.
        const Run &r = runs.front();
        double firstRate = 0, lastRate = 0;
        if (done >= o.segment && r.firstSegmentEnd != Clock::time_point{})
            firstRate = double(o.segment) / (micros(r.firstSegmentEnd - start) / 1e6);
        if (done == o.count && r.lastSegmentStart != Clock::time_point{})
            lastRate = double(o.segment) / (micros(r.end - r.lastSegmentStart) / 1e6);
        std::printf("first_segment_rate=%.0f last_segment_rate=%.0f ", firstRate, lastRate);
    }
    std::printf("connections=%d errors=%ld\n", n, errors);
    return errors == 0 ? 0 : 1;
}

int flood(const Options &o, int fd)
{
    std::string all;
    for (long i = 1; i <= o.count; ++i)
        all += message(i, o.size);
    size_t sent = 0;
    long acks = 0;
    std::string pending;
    const auto start = Clock::now();
    auto lastProgress = start;
    while (sent < all.size()) {
        pollfd p{fd, short(POLLIN | POLLOUT), 0};
        if (::poll(&p, 1, 100) < 0)
            break;
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, all.data() + sent, std::min<size_t>(all.size() - sent, 65536),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += size_t(n);
                lastProgress = Clock::now();
            }
        }
        if (p.revents & POLLIN) {
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                pending.append(buffer, size_t(n));
                size_t at;
                while ((at = pending.find("\x1c\r")) != std::string::npos) {
                    pending.erase(0, at + 2);
                    ++acks;
                }
            }
        }
        if (Clock::now() - lastProgress > std::chrono::seconds(o.stallSeconds)) {
            std::fprintf(stderr, "sender: gave up, the receiver took nothing for %d s\n", o.stallSeconds);
            break;
        }
    }
    const double seconds = micros(Clock::now() - start) / 1e6;
    std::printf("flood_bytes=%zu seconds=%.3f mb_per_s=%.1f acks=%ld\n", sent, seconds,
                double(sent) / seconds / 1e6, acks);
    return sent == all.size() ? 0 : 1;
}

benchtls::Context clientContext(const Options &o)
{
    benchtls::Context context(SSL_CTX_new(TLS_client_method()));
    const char *failed = nullptr;
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1)
        failed = "TLS";
    else if (SSL_CTX_load_verify_locations(context.get(), o.caFile.c_str(), nullptr) != 1)
        failed = o.caFile.c_str();
    else if (!o.clientCert.empty()
             && (SSL_CTX_use_certificate_chain_file(context.get(), o.clientCert.c_str()) != 1
                 || SSL_CTX_use_PrivateKey_file(context.get(),
                                                (o.clientKey.empty() ? o.clientCert : o.clientKey).c_str(),
                                                SSL_FILETYPE_PEM) != 1
                 || SSL_CTX_check_private_key(context.get()) != 1))
        failed = o.clientCert.c_str();
    if (failed) {
        std::fprintf(stderr, "sender: %s: %s\n", failed, benchtls::lastError().c_str());
        return {};
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    return context;
}
} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    if (argc == 2 && std::string(argv[1]) == "--free-port") {
        // A port the system hands out now, for the script to configure.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t length = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
        std::printf("%d\n", ntohs(a.sin_port));
        ::close(fd);
        return 0;
    }
    const bool tls = !o.caFile.empty();
    if (o.port <= 0 || o.connections < 1 || (o.flood && (o.connections > 1 || tls))) {
        std::fprintf(stderr, "usage: bench_sender --port P [--count N] [--size BYTES] [--flood 1] "
                             "[--segment N] [--stall-seconds S] [--connect-seconds S]\n"
                             "       [--connections N] [--tls CAFILE [--client-cert CERT --client-key KEY]]\n"
                             "(a flood is one plain connection)\n");
        return 2;
    }
    // A receiver that drops a TLS connection must not end the sender.
    std::signal(SIGPIPE, SIG_IGN);
    const auto t0 = Clock::now();
    if (o.count > 0 && !o.flood) {
        const benchtls::Context context = tls ? clientContext(o) : benchtls::Context{};
        if (tls && !context)
            return 1;
        return synchronousAll(o, context.get(), t0);
    }
    const int fd = connectTo(o.port, o.connectSeconds);
    if (fd < 0) {
        std::fprintf(stderr, "sender: cannot connect to port %d\n", o.port);
        return 1;
    }
    if (o.connectSeconds > 0)
        printConnected(o, t0, Clock::now());
    const int rc = o.count <= 0 ? 0 : flood(o, fd);
    ::close(fd);
    return rc;
}
