#include "settings/InstallationFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/ProcessInfo.h"
#include "platform/SystemTraits.h"
#include "settings/ConfigStore.h"
#include "settings/ServiceLog.h"

namespace vserver::settings {
namespace {

// Sets an environment variable for one scope and puts the previous value back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        Set(value);
    }
    ~ScopedVariable() { Set(previous_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    void Set(const std::optional<std::string>& value) {
#ifdef _WIN32
        // An empty value removes the variable here.
        ::_putenv_s(name_, value ? value->c_str() : "");
#else
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
#endif
    }
    const char* name_;
    std::optional<std::string> previous_;
};

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
