#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

namespace vserver::platform {
namespace {

// What the unit says is checked by the service manager's own verifier and by what the service
// does under it; here only what a path can do to the unit's syntax.
TEST(ServiceUnit, PathsThatWouldSplitOrExpandAreQuotedAndEscaped) {
    ServiceDefinition definition{"VServerService", "100% Server", "/srv/my \"school\"/$HOME\\VServerService", "-Service"};
    std::string text = ServiceUnitText(definition);
    EXPECT_NE(text.find("Description=100%% Server\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ExecStart=\"/srv/my \\\"school\\\"/$$HOME\\\\VServerService\" -Service\n"), std::string::npos)
        << text;
}

} // namespace
} // namespace vserver::platform
