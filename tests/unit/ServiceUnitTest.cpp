#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

namespace vserver::platform {
namespace {

TEST(ServiceUnit, NotifyServiceStartedAtBootAndRestartedOnFailure) {
    ServiceDefinition definition{"VServerService", "Vantorel Server Service",
                                 "/opt/vantorel-server/VServerService", "-Service"};
    EXPECT_EQ(ServiceUnitText(definition),
              "[Unit]\n"
              "Description=Vantorel Server Service\n"
              "After=network.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=/opt/vantorel-server/VServerService -Service\n"
              "Restart=on-failure\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
}

TEST(ServiceUnit, PathsThatWouldSplitOrExpandAreQuotedAndEscaped) {
    ServiceDefinition definition{"VServerService", "100% Server", "/srv/my \"school\"/$HOME\\VServerService", "-Service"};
    std::string text = ServiceUnitText(definition);
    EXPECT_NE(text.find("Description=100%% Server\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ExecStart=\"/srv/my \\\"school\\\"/$$HOME\\\\VServerService\" -Service\n"), std::string::npos)
        << text;
}

} // namespace
} // namespace vserver::platform
