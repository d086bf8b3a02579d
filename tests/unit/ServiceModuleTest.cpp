#include "host/ServiceModule.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/NotifyListener.h"
#include "support/ScopedVariable.h"

namespace vserver::host {
namespace {

using vserver::test::NotifyListener;
using vserver::test::ScopedVariable;

std::string NotifyAddress(bool abstract) {
    std::string name = "vserver-unit-" + std::to_string(::getpid()) + (abstract ? "-a" : "-p");
    return abstract ? "@" + name : "/tmp/" + name + ".sock";
}

TEST(ServiceModule, InitModuleExpectsToRunAsAStoppedService) {
    ServiceModule module;
    module.InitModule();
    EXPECT_TRUE(module.isService);
    EXPECT_EQ(module.serviceName(), "VServerService");
    EXPECT_EQ(module.state(), ServiceState::Stopped);
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
        NotifyListener manager(NotifyAddress(abstract));
        ASSERT_TRUE(manager.bound()) << manager.address();
        const ScopedVariable environment("NOTIFY_SOCKET", manager.address());
        ServiceModule module;
        module.InitModule();
        ASSERT_TRUE(module.RegisterControlHandler().ok()) << manager.address();
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
    const ScopedVariable none("NOTIFY_SOCKET", std::nullopt);
    EXPECT_FALSE(module.RegisterControlHandler().ok());
    for (const std::string& bad : std::vector<std::string>{"relative/path", "@", "/", "vsock:2:1234", "/nonexistent/notify.sock",
                                  "/" + std::string(200, 'a')}) {
        const ScopedVariable environment("NOTIFY_SOCKET", bad);
        EXPECT_FALSE(module.RegisterControlHandler().ok()) << bad;
    }
    // Without a channel, states stay local.
    module.SetState(ServiceState::Running);
    EXPECT_EQ(module.state(), ServiceState::Running);
}

} // namespace
} // namespace vserver::host
