// The reference responder: the smallest single-connection server that answers
// every read with the fixed 51-byte acknowledgement. What the program is
// measured against.
//
//   bench_reference PORT             sleeps in recv() between messages
//   bench_reference PORT --poll-us N after each answer, polls the connection
//                                    without sleeping for N us before it
//                                    sleeps in recv(): as the program does
//   bench_reference PORT --log FILE  appends each arrival and CR LF to FILE
//                                    before it answers: as the program does
// The two options may be given together.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

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
} // namespace

int main(int argc, char **argv)
{
    long pollUs = 0;
    const char *logName = nullptr;
    bool usage = argc < 2 || argc % 2 != 0;
    for (int i = 2; !usage && i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--poll-us") == 0)
            pollUs = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--log") == 0)
            logName = argv[i + 1];
        else
            usage = true;
    }
    if (usage) {
        std::fprintf(stderr, "usage: bench_reference PORT [--poll-us N] [--log FILE]\n");
        return 2;
    }
    // Opened as the program opens its logfile: appended to, never truncated.
    const int log = logName ? ::open(logName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666) : -1;
    if (logName && log < 0) {
        std::perror(logName);
        return 1;
    }
    static const char ack[] = "\x0bMSH|||||202612070815||ACK|||||||||\rMSA|AA||||||\r\x1c\r";
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listener, 8) != 0) {
        std::perror("bench_reference");
        return 1;
    }
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        char buffer[65536];
        ssize_t n;
        while ((n = receive(fd, buffer, sizeof buffer, pollUs)) > 0) {
            if (log >= 0 && !logLine(log, buffer, size_t(n))) {
                std::perror(logName);
                return 1;
            }
            if (::send(fd, ack, sizeof ack - 1, MSG_NOSIGNAL) < 0)
                break;
        }
        ::close(fd);
    }
}
