// What an administrator meets when starting the server: questions that touch nothing,
// settings the server works around but reports once, and the one-server rule.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

namespace fs = std::filesystem;

std::size_t CountOf(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

std::size_t LinesOf(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// Start() returns once the port is open; what the server reports about its settings follows,
// before it announces that it serves.
bool WaitUntilServing(const ServerProcess& server) {
    for (int i = 0; i < 4000; ++i) {
        if (server.StandardOutput().find("Service started\n") != std::string::npos) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool StartAndSettle(ServerProcess& server) { return server.Start() && WaitUntilServing(server); }

TEST(StartUpQuestions, VersionAndHelpAnswerWithoutServingRegisteringOrWriting) {
    for (bool registered : {true, false}) {
        SCOPED_TRACE(registered ? "registered" : "not registered");
        for (const std::vector<std::string>& arguments :
             {std::vector<std::string>{"--version"}, {"--help"}, {"-RegServer", "--help"}, {"-h", "-UnregServer"}}) {
            ServerOptions options;
            options.registered = registered;
            options.arguments = arguments;
            ServerProcess server(options);
            server.Launch();
            const std::string registry = ReadFile(server.registryPath());
            EXPECT_EQ(server.WaitExit(), 0) << arguments[0];
            EXPECT_EQ(server.StandardError(), "") << arguments[0];
            EXPECT_FALSE(PathExists(server.installPath("ServiceLog.log"))) << arguments[0];
            EXPECT_FALSE(PathExists(server.installPath("VServerService.lock"))) << arguments[0];
            EXPECT_EQ(ReadFile(server.registryPath()), registry) << arguments[0];
            const std::string out = server.StandardOutput();
            if (arguments[0] == "--version") {
                EXPECT_EQ(out, "VServerService 9.0.0 (protocol version 9.0)\n");
            } else {
                EXPECT_EQ(out.rfind("usage: VServerService", 0), 0u) << out;
                EXPECT_NE(out.find("-RegServer"), std::string::npos) << out;
            }
        }
    }
}

TEST(StartUpSettings, APortNumberThatIsNoPortIsReportedWithThePortOpened) {
    // Texts that read as 0 let the system choose, so the test never needs a fixed port.
    for (const std::string stored : {"abc", "65536", " 0"}) {
        SCOPED_TRACE(stored);
        ServerOptions options;
        options.portNumber = stored;
        ServerProcess server(options);
        ASSERT_TRUE(StartAndSettle(server)) << server.failure();
        const std::string problem = "PortNumber \"" + stored + "\" in registry file " + ServerPath(server.registryPath()) +
                                    " is not a whole number from 1 to 65535; the server listens on port " +
                                    std::to_string(server.port());
        EXPECT_EQ(CountOf(server.ServiceLogTexts(), problem), 1u) << server.ServiceLog();
        EXPECT_EQ(server.StandardError(), "VServerService: " + problem + "\n");
        EXPECT_TRUE(server.Connect().is_open());
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }

    // A plain port, and 0 (the system's choice), say nothing.
    ServerProcess plain;
    ASSERT_TRUE(StartAndSettle(plain)) << plain.failure();
    EXPECT_EQ(plain.StandardError(), "");
    EXPECT_EQ(plain.Stop(SIGTERM), 0);
}

TEST(StartUpSettings, AMasterPathOrUsersFolderTheServerCannotUseIsReportedOnceAndItStillServes) {
    struct Case {
        std::string name;
        std::optional<std::string> masterPath;   // relative to the installation when not absolute
        bool createUsersFolder;
        std::vector<std::string> expected;       // parts of the one line; "@" is the installation folder
    };
    const std::vector<Case> cases = {
        {"missing", "", true, {"MasterPath is not set in registry file @/VServerService.reg", "/Users"}},
        {"relative", "master", true, {"MasterPath \"master\"", "is not an absolute path", "@/master/Users"}},
        {"nowhere", "@/nowhere", true, {"MasterPath \"@/nowhere\"", "does not exist", "No such file or directory"}},
        {"a file", "@/VServerService.reg", true, {"MasterPath \"@/VServerService.reg\"", "is not a folder"}},
        {"no users folder", std::nullopt, false, {"Users folder @/master/Users does not exist",
                                                 "accounts cannot be listed or created"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerOptions options;
        options.createUsersFolder = c.createUsersFolder;
        options.masterPath = c.masterPath;
        ServerProcess server(options);
        // The Windows server names the folders in its own form (Z:\...).
        auto expand = [&](std::string text) {
            const std::string folder = ServerPath(server.folder());
            for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
                text.replace(at, 1, folder);
                at += folder.size();
            }
            if (WindowsServer()) std::replace(text.begin(), text.end(), '/', '\\');
            return text;
        };
        ASSERT_TRUE(StartAndSettle(server)) << server.failure();
        const std::string error = server.StandardError();
        EXPECT_EQ(LinesOf(error), 1u) << error;
        std::vector<std::string> matching;
        for (const std::string& text : server.ServiceLogTexts()) {
            if (text.find("MasterPath") != std::string::npos || text.find("Users folder") != std::string::npos) {
                matching.push_back(text);
            }
        }
        ASSERT_EQ(matching.size(), 1u) << server.ServiceLog();
        EXPECT_EQ("VServerService: " + matching[0] + "\n", error);
        for (const std::string& part : c.expected) EXPECT_NE(error.find(expand(part)), std::string::npos) << expand(part);
        EXPECT_TRUE(server.Connect().is_open());
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }
}

TEST(StartUpSettings, AUsersFolderTheServerMayNotReadOrWriteIsReported) {
    SKIP_FOR_WINDOWS_SERVER("Wine runs only as the owner of its prefix, so the server cannot be made unprivileged");
    const struct {
        mode_t mode;
        std::string reason;
    } cases[] = {
        {0, "cannot be read by the server (access: Permission denied)"},
        {0555, "is not writable by the server (access: Permission denied)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ServerOptions options;
        options.unprivileged = true;
        ServerProcess server(options);
        ASSERT_TRUE(StartAndSettle(server)) << server.failure();
        EXPECT_EQ(server.StandardError(), "");
        ASSERT_EQ(server.Stop(SIGTERM), 0);

        ASSERT_EQ(::chmod(server.usersFolder().c_str(), c.mode), 0);
        fs::remove(server.installPath("ServiceLog.log"));
        server.Relaunch({});
        const std::string problem = "Users folder " + server.usersFolder() + " " + c.reason +
                                    "; accounts cannot be listed or created";
        EXPECT_TRUE(server.WaitForLogText(problem)) << server.ServiceLog();
        EXPECT_TRUE(WaitUntilServing(server));
        EXPECT_EQ(server.StandardError(), "VServerService: " + problem + "\n");
        EXPECT_EQ(server.Stop(SIGTERM), 0);
        ::chmod(server.usersFolder().c_str(), 0755);
    }
}

TEST(OneServerPerFolder, ASecondServerRefusesAtOnceAndLeavesTheFirstAlone) {
    ServerProcess first;
    ASSERT_TRUE(first.Start()) << first.failure();
    const std::string log = first.ServiceLog();

    ToolRun second = first.RunInstalled({});
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, "");
    // A Windows process has a process id of its own, which the test cannot know.
    const std::string holder = WindowsServer() ? second.err.substr(0, second.err.find(')') + 1)
                                               : "VServerService: another server (process " + std::to_string(first.pid()) + ")";
    EXPECT_EQ(holder.rfind("VServerService: another server (process ", 0), 0u) << second.err;
    EXPECT_EQ(second.err, holder + " is already running from " + ServerPath(first.folder() + "/") + " (lock file " +
                              ServerPath(first.installPath("VServerService.lock")) + "); stop it first\n");
    EXPECT_EQ(first.ServiceLog(), log);

    // Registering, unregistering and asking still work while the server runs. (Registering the
    // Windows server reaches the Wine service manager, which WindowsServiceTest covers.)
    EXPECT_EQ(first.RunInstalled({"--version"}).exitStatus, 0);
    if (!WindowsServer()) {
        EXPECT_EQ(first.RunInstalled({"-UnregServer"}).exitStatus, 0);
        EXPECT_EQ(first.RunInstalled({"-RegServer"}).exitStatus, 0);
        EXPECT_NE(ReadFile(first.registryPath()).find("\"LocalService\"=\"VServerService\""), std::string::npos);
    }
    EXPECT_EQ(first.ServiceLog(), log);
    EXPECT_TRUE(first.Connect().is_open());

    // Once the first has ended, the folder is free again, whatever the lock file still says.
    EXPECT_EQ(first.Stop(SIGTERM), 0);
    ASSERT_TRUE(PathExists(first.installPath("VServerService.lock")));
    fs::remove(first.installPath("ServiceLog.log"));
    first.Relaunch({});
    EXPECT_TRUE(first.WaitForLogText("Server listening on port ")) << first.StandardError();
    EXPECT_EQ(first.Stop(SIGTERM), 0);
}

} // namespace
} // namespace vserver::test
