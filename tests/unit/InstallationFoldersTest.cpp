#include "settings/InstallationFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"
#include "platform/SystemTraits.h"
#include "settings/ConfigStore.h"
#include "settings/ServiceLog.h"
#include "support/ScopedVariable.h"

namespace vserver::settings {
namespace {

using test::ScopedVariable;

TEST(InstallationFolders, TheEnvironmentNamesEachFolderElseTheExecutablesFolderHoldsThem) {
    const std::string beside = platform::ExecutableFolder();
    ASSERT_FALSE(beside.empty());
    const struct {
        std::optional<std::string> named;
        std::string folder;
    } cases[] = {
        {std::nullopt, beside},
        {"", beside},   // an empty value counts as unset
        {"/var/log/vantorel-server", std::string("/var/log/vantorel-server") + platform::kPathSeparator},
        {"/var/log/vantorel-server/", "/var/log/vantorel-server/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named.value_or("(unset)"));
        {
            ScopedVariable logs("VSERVER_LOG_FOLDER", c.named);
            EXPECT_EQ(LogFolder(), c.folder);
            EXPECT_EQ(ServiceLogPath(), c.folder + "ServiceLog.log");
            EXPECT_EQ(DataFolder(), beside) << "each folder has its own variable";
        }
        ScopedVariable data("VSERVER_DATA_FOLDER", c.named);
        EXPECT_EQ(DataFolder(), c.folder);
        const FolderLayout layout = ConfigStore("/nonexistent/VServerService.reg").DerivePaths();
        EXPECT_EQ(layout.userMessagesPath, c.folder + "UserMessages.log");
        EXPECT_EQ(layout.forcedToolbarSetsPath, c.folder + "ForcedToolbarSets.log");
        EXPECT_EQ(layout.executableFolder, beside);
    }
}

} // namespace
} // namespace vserver::settings
