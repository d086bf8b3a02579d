#pragma once
// An open file descriptor owned by one object, and the whole-file reads and writes the POSIX
// backend's file functions share.

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "platform/SysResult.h"

namespace vserver::platform {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Writes all of data, however many calls that takes.
SysResult WriteAll(int fd, std::string_view data);

// Reads the regular file fd to its end, handing each chunk to take; stops at the first failure
// of either. A read of a regular file returns fewer bytes than asked only at the file's end, so
// a file smaller than the buffer takes one read.
template <typename Take>
SysResult ReadChunks(int fd, Take take) {
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return SysResult::Failure("read", errno);
        if (got == 0) return SysResult::Ok();
        if (SysResult taken = take(std::string_view(buffer, static_cast<std::size_t>(got))); !taken) return taken;
        if (static_cast<std::size_t>(got) < sizeof buffer) return SysResult::Ok();
    }
}

// The whole content of the regular file fd, from its current position, into out.
SysResult ReadAll(int fd, std::string& out);

} // namespace vserver::platform
