#pragma once
// The listening side the reference servers share: a non-blocking socket on 127.0.0.1 in an
// epoll set, and the accept loop that adds each new connection (TCP_NODELAY) to the same set.
// Bare system calls on purpose: the references cost only what any server must spend.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

namespace bench {

// Listens on 127.0.0.1:port and watches the listener in a new epoll set; -1 with the reason on
// stderr when the port cannot be had.
inline int ListenOnLoopback(int port, int& poll) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4096) != 0) {
        std::perror("bind/listen");
        return -1;
    }
    poll = ::epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event);
    return listener;
}

// Accepts every waiting connection, watches it for input and hands it to accepted.
template <typename OnAccepted>
void AcceptWaiting(int poll, int listener, OnAccepted accepted) {
    int one = 1;
    int fd;
    while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event added{};
        added.events = EPOLLIN;
        added.data.fd = fd;
        ::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &added);
        accepted(fd);
    }
}

} // namespace bench
