#include "host/ServiceModule.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vserver::host {
namespace {

// A stand-in for the service manager's notification socket.
class NotifyListener {
public:
    explicit NotifyListener(bool abstract) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string name = "vserver-unit-" + std::to_string(::getpid()) + (abstract ? "-a" : "-p");
        socklen_t length = 0;
        if (abstract) {
            address_ = "@" + name;
            std::memcpy(address.sun_path + 1, name.data(), name.size());
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        } else {
            address_ = "/tmp/" + name + ".sock";
            ::unlink(address_.c_str());
            std::memcpy(address.sun_path, address_.data(), address_.size());
            length = static_cast<socklen_t>(sizeof address);
        }
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NotifyListener() {
        ::close(fd_);
        if (address_[0] == '/') ::unlink(address_.c_str());
    }
    const std::string& address() const { return address_; }
    std::string Receive() {
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    std::string address_;
};

class ScopedNotifySocket {
public:
    explicit ScopedNotifySocket(const std::string& value) { ::setenv("NOTIFY_SOCKET", value.c_str(), 1); }
    ~ScopedNotifySocket() { ::unsetenv("NOTIFY_SOCKET"); }
};

TEST(ServiceModule, InitModuleExpectsToRunAsAStoppedService) {
    ServiceModule module;
    module.InitModule();
    EXPECT_TRUE(module.isService);
    EXPECT_EQ(module.serviceName(), "VServerService");
    EXPECT_EQ(module.state(), ServiceState::Stopped);
}

TEST(ServiceModule, OnlyTheStopControlEndsTheLoop) {
    ServiceModule module;
    int quits = 0;
    module.postQuit = [&] { ++quits; };
    module.SetState(ServiceState::Running);
    for (int control : {kControlPause, kControlContinue, kControlInterrogate, kControlShutdown}) {
        module.ControlHandler(control);
    }
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(module.state(), ServiceState::Running);

    testing::internal::CaptureStdout();
    module.ControlHandler(200);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad service request\n");
    EXPECT_EQ(quits, 0);

    module.ControlHandler(kControlStop);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(module.state(), ServiceState::StopPending);
}

TEST(ServiceModule, EventsOfAPlainProcessGoToStandardOutputCut) {
    ServiceModule module;
    module.isService = false;
    testing::internal::CaptureStdout();
    module.ReportServiceEvent(std::string(300, 'x'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(255, 'x') + "\n");
}

TEST(ServiceModule, StatesReachTheManagerOnceTheHandlerIsRegistered) {
    for (bool abstract : {false, true}) {
        NotifyListener manager(abstract);
        ScopedNotifySocket environment(manager.address());
        ServiceModule module;
        module.InitModule();
        ASSERT_TRUE(module.RegisterControlHandler()) << manager.address();
        module.SetState(ServiceState::StartPending);
        EXPECT_EQ(manager.Receive(), "STATUS=Starting");
        module.SetState(ServiceState::Running);
        EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");
        module.ControlHandler(kControlStop);
        EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopping");
        module.SetState(ServiceState::Stopped);
        EXPECT_EQ(manager.Receive(), "STATUS=Stopped");
    }
}

TEST(ServiceModule, HandlerRegistrationFailsWithoutAUsableAddress) {
    ServiceModule module;
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(module.RegisterControlHandler());
    for (const std::string& bad : std::vector<std::string>{"relative/path", "@", "/", "vsock:2:1234", "/nonexistent/notify.sock",
                                  "/" + std::string(200, 'a')}) {
        ScopedNotifySocket environment(bad);
        EXPECT_FALSE(module.RegisterControlHandler()) << bad;
    }
    // Without a channel, states stay local.
    module.SetState(ServiceState::Running);
    EXPECT_EQ(module.state(), ServiceState::Running);
}

} // namespace
} // namespace vserver::host
