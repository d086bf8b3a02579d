#pragma once
// The event loop the reference servers share: one thread, one epoll set, a read of up to 16 KiB
// per ready connection, and replies written when the socket takes them, so a connection that
// falls behind keeps what it is owed. Bare system calls on purpose, as in LoopbackListener.h.

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "LoopbackListener.h"

namespace bench {

// What the loop keeps of every connection; a server's own per-connection state derives from it.
struct Connection {
    std::string out;        // owed to the client
    bool wantsOut = false;  // watched for writability
    bool closing = false;   // closed once out is written as far as the socket takes it
};

// Writes as much of out as the socket takes, and watches fd for writability exactly while
// something is left.
inline void Flush(int poll, int fd, std::string& out, bool& wantsOut) {
    while (!out.empty()) {
        ssize_t sent = ::write(fd, out.data(), out.size());
        if (sent > 0) {
            out.erase(0, static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        break;
    }
    bool wants = !out.empty();
    if (wants == wantsOut) return;
    epoll_event changed{};
    changed.events = EPOLLIN | (wants ? EPOLLOUT : 0u);
    changed.data.fd = fd;
    ::epoll_ctl(poll, EPOLL_CTL_MOD, fd, &changed);
    wantsOut = wants;
}

// Collects the bytes of the protocol's messages in pending and hands each whole one, without
// its closing 0xBB, to message; the LF a client sends after a message is dropped.
template <typename OnMessage>
void ForEachMessage(std::string& pending, const char* bytes, std::size_t count, OnMessage message) {
    for (std::size_t j = 0; j < count; ++j) {
        if (bytes[j] == '\n' && pending.empty()) continue;
        if (bytes[j] != '\xBB') {
            pending.push_back(bytes[j]);
            continue;
        }
        std::string text = std::move(pending);
        pending.clear();
        message(text);
    }
}

// Serves until epoll fails (then 1). accepted(fd, client) sees each new connection first;
// received(client, bytes, count) each read, and may add to client.out or set client.closing.
// Client derives from Connection.
template <typename Client, typename OnAccepted, typename OnReceived>
int ServeForever(int poll, int listener, OnAccepted accepted, OnReceived received) {
    std::unordered_map<int, Client> clients;
    static char input[16384];
    epoll_event events[1024];
    for (;;) {
        int ready = ::epoll_wait(poll, events, 1024, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                AcceptWaiting(poll, listener, [&](int fresh) { accepted(fresh, clients[fresh]); });
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
                if (got > 0) received(client, input, static_cast<std::size_t>(got));
            }
            Flush(poll, fd, client.out, client.wantsOut);
            if (client.closing) {
                ::close(fd);
                clients.erase(fd);
            }
        }
    }
}

} // namespace bench
