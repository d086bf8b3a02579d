// The least a single-threaded epoll server can do to answer a request from a file: for every
// received byte 0xBB it opens the file, reads it once and closes it, then sends a fixed reply.
// It is the measuring stick for the preference read: no name matching, no parsing, no checks.
//
//   filesrv PORT FILE REPLYHEX
//
// Listens on 127.0.0.1 and sends no greeting. Replies are written when the socket takes them;
// a connection that falls behind keeps what it is owed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "LoopbackListener.h"

namespace {

std::string FromHex(const char* hex) {
    std::string out;
    for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        out.push_back(static_cast<char>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

struct Client {
    std::string out;
    bool wantsOut = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT FILE REPLYHEX\n", argv[0]);
        return 2;
    }
    const char* file = argv[2];
    const std::string reply = FromHex(argv[3]);
    int poll = -1;
    const int listener = bench::ListenOnLoopback(std::atoi(argv[1]), poll);
    if (listener < 0) return 1;

    std::unordered_map<int, Client> clients;
    static char input[16384];
    static char content[65536];
    epoll_event events[1024];
    for (;;) {
        int ready = ::epoll_wait(poll, events, 1024, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                bench::AcceptWaiting(poll, listener, [&](int accepted) {
                    clients[accepted];
                });
                continue;
            }
            Client& client = clients[fd];
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t got = ::read(fd, input, sizeof input);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    ::close(fd);
                    clients.erase(fd);
                    continue;
                }
                for (ssize_t j = 0; j < got; ++j) {
                    if (static_cast<unsigned char>(input[j]) != 0xBB) continue;
                    int content_fd = ::open(file, O_RDONLY | O_CLOEXEC);
                    if (content_fd >= 0) {
                        if (::read(content_fd, content, sizeof content) < 0) std::perror("read");
                        ::close(content_fd);
                    }
                    client.out += reply;
                }
            }
            while (!client.out.empty()) {
                ssize_t sent = ::write(fd, client.out.data(), client.out.size());
                if (sent > 0) {
                    client.out.erase(0, static_cast<std::size_t>(sent));
                    continue;
                }
                if (sent < 0 && errno == EINTR) continue;
                break;
            }
            bool wants = !client.out.empty();
            if (wants != client.wantsOut) {
                epoll_event changed{};
                changed.events = EPOLLIN | (wants ? EPOLLOUT : 0u);
                changed.data.fd = fd;
                ::epoll_ctl(poll, EPOLL_CTL_MOD, fd, &changed);
                client.wantsOut = wants;
            }
        }
    }
}
