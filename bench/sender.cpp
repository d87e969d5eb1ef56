// A sending system for measurements: MLLP-framed HL7 v2 messages of a chosen
// size, each with its own control id, either synchronous (send, wait for the
// acknowledgement) or as a flood (send everything, read what comes back).
// It prints one line of figures and gives up cleanly when the receiver makes
// no progress for a few seconds.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

struct Options
{
    int port = 0;
    long count = 10000;
    int size = 400;
    bool flood = false;
    long segment = 10000; // throughput of the first and the last this many
    int stallSeconds = 5;
    int connectSeconds = 0; // >0: wait for the receiver to listen, report the time
    long long sinceNs = 0;  // the wall-clock moment (ns) the receiver was launched
    bool trace = false;     // the rate of every segment on standard error
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
    }
    return o;
}

std::string message(long id, int size)
{
    char head[256];
    std::snprintf(head, sizeof head,
                  "MSH|^~\\&|BENCH|FAC|ACKPROBE|FAC|20261207081500||ADT^A01|MSG%09ld|P|2.3\r"
                  "EVN|A01|20261207081500\r"
                  "PID|1||%ld^^^HOSP||DOE^JOHN||19700101|M\r",
                  id, id);
    std::string text = head;
    const int fixed = int(text.size()) + 3 /* framing */ + 5 /* "NTE|1|" less one */ + 1;
    if (size > fixed)
        text += "NTE|1||" + std::string(size - fixed - 2, 'x') + "\r";
    return "\x0b" + text + "\x1c\r";
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

// Reads until one acknowledgement has ended (FS CR); false on a stall or close.
bool readAck(int fd, int stallSeconds, std::string &pending)
{
    for (;;) {
        const auto end = pending.find("\x1c\r");
        if (end != std::string::npos) {
            pending.erase(0, end + 2);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, stallSeconds * 1000) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        pending.append(buffer, size_t(n));
    }
}

int synchronous(const Options &o, int fd)
{
    std::vector<double> latencies;
    latencies.reserve(size_t(o.count));
    std::string pending;
    long errors = 0;
    const auto start = Clock::now();
    Clock::time_point firstSegmentEnd{}, lastSegmentStart{};
    for (long i = 1; i <= o.count; ++i) {
        const std::string m = message(i, o.size);
        if (i == o.count - o.segment + 1)
            lastSegmentStart = Clock::now();
        const auto t0 = Clock::now();
        if (!sendAll(fd, m) || !readAck(fd, o.stallSeconds, pending)) {
            ++errors;
            std::fprintf(stderr, "sender: gave up at message %ld (no acknowledgement)\n", i);
            break;
        }
        latencies.push_back(micros(Clock::now() - t0));
        if (i == o.segment)
            firstSegmentEnd = Clock::now();
        if (o.trace && i % o.segment == 0) {
            static auto segmentStart = start;
            const auto now = Clock::now();
            std::fprintf(stderr, "%ld %.0f\n", i, double(o.segment) / (micros(now - segmentStart) / 1e6));
            segmentStart = now;
        }
    }
    const auto end = Clock::now();
    const double seconds = micros(end - start) / 1e6;
    const long done = long(latencies.size());
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    auto pct = [&](double p) { return sorted.empty() ? 0.0 : sorted[size_t(p * double(sorted.size() - 1))]; };
    double firstRate = 0, lastRate = 0;
    if (done >= o.segment && firstSegmentEnd != Clock::time_point{})
        firstRate = double(o.segment) / (micros(firstSegmentEnd - start) / 1e6);
    if (done == o.count && lastSegmentStart != Clock::time_point{})
        lastRate = double(o.segment) / (micros(end - lastSegmentStart) / 1e6);
    std::printf("messages=%ld seconds=%.3f rate=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f "
                "first_segment_rate=%.0f last_segment_rate=%.0f errors=%ld\n",
                done, seconds, double(done) / seconds, pct(0.50), pct(0.99),
                sorted.empty() ? 0.0 : sorted.back(), firstRate, lastRate, errors);
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
    if (o.port <= 0) {
        std::fprintf(stderr, "usage: bench_sender --port P [--count N] [--size BYTES] [--flood 1] "
                             "[--segment N] [--stall-seconds S] [--connect-seconds S]\n");
        return 2;
    }
    const auto t0 = Clock::now();
    const int fd = connectTo(o.port, o.connectSeconds);
    if (fd < 0) {
        std::fprintf(stderr, "sender: cannot connect to port %d\n", o.port);
        return 1;
    }
    if (o.connectSeconds > 0 && o.sinceNs > 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const long long nowNs = now.tv_sec * 1000000000LL + now.tv_nsec;
        std::printf("listening_after_launch_ms=%.1f\n", double(nowNs - o.sinceNs) / 1e6);
    } else if (o.connectSeconds > 0) {
        std::printf("connected_after_ms=%.1f\n", micros(Clock::now() - t0) / 1000);
    }
    if (o.count <= 0)
        return 0;
    const int rc = o.flood ? flood(o, fd) : synchronous(o, fd);
    ::close(fd);
    return rc;
}
