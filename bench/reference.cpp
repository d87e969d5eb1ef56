// The reference responder: the smallest single-connection server that answers
// every read with the fixed 51-byte acknowledgement. What the program is
// measured against.
//
//   bench_reference PORT             sleeps in recv() between messages
//   bench_reference PORT --poll-us N after each answer, polls the connection
//                                    without sleeping for N us before it
//                                    sleeps in recv(): as the program does

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
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
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--poll-us") == 0)) {
        std::fprintf(stderr, "usage: bench_reference PORT [--poll-us N]\n");
        return 2;
    }
    const long pollUs = argc == 4 ? std::atol(argv[3]) : 0;
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
        while ((n = receive(fd, buffer, sizeof buffer, pollUs)) > 0)
            if (::send(fd, ack, sizeof ack - 1, MSG_NOSIGNAL) < 0)
                break;
        ::close(fd);
    }
}
