#pragma once
// A stand-in for the service manager's notification socket: a datagram socket bound to a
// file path or, when the address begins with "@", to an abstract address.

#include <chrono>
#include <string>

namespace vserver::test {

class NotifyListener {
public:
    explicit NotifyListener(const std::string& address);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    const std::string& address() const { return address_; }
    bool bound() const { return bound_; }
    // The next datagram, or "<nothing>" after the timeout.
    std::string Receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The next datagram that does not begin with skipped, or "<nothing>" after the timeout.
    std::string ReceiveSkipping(const std::string& skipped, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int fd_ = -1;
    bool bound_ = false;
    std::string address_;
};

} // namespace vserver::test
