// The least a single-threaded epoll server can do to answer a request from a file: for every
// received byte 0xBB it opens the file, reads it once and closes it, then sends a fixed reply.
// It is the measuring stick for the preference read: no name matching, no parsing, no checks.
//
//   filesrv PORT FILE REPLYHEX
//
// Listens on 127.0.0.1 and sends no greeting. Replies are written when the socket takes them;
// a connection that falls behind keeps what it is owed.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ReferenceLoop.h"

namespace {

std::string FromHex(const char* hex) {
    std::string out;
    for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        out.push_back(static_cast<char>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

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

    static char content[65536];
    return bench::ServeForever<bench::Connection>(
        poll, listener, [](int, bench::Connection&) {},
        [&](bench::Connection& client, const char* input, std::size_t count) {
            for (std::size_t j = 0; j < count; ++j) {
                if (static_cast<unsigned char>(input[j]) != 0xBB) continue;
                int content_fd = ::open(file, O_RDONLY | O_CLOEXEC);
                if (content_fd >= 0) {
                    if (::read(content_fd, content, sizeof content) < 0) std::perror("read");
                    ::close(content_fd);
                }
                client.out += reply;
            }
        });
}
