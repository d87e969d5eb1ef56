// The reference responder: the smallest single-connection server that answers
// every read with the fixed 51-byte acknowledgement. What the program is
// measured against.

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_reference PORT\n");
        return 2;
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
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            if (::send(fd, ack, sizeof ack - 1, MSG_NOSIGNAL) < 0)
                break;
        ::close(fd);
    }
}
