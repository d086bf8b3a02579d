// Another program (a virus scanner, a backup agent, the search indexer) that holds a preference
// file open without delete sharing keeps the Windows server from renaming the new content over
// it. The write waits for the holder instead of failing: it is answered only once the holder
// has let go and the new content is in place. Runs only against the Windows build under Wine,
// which enforces share modes between its processes; the holder is a small Windows program.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "ServerHarness.h"

extern char** environ;

namespace {

using namespace vserver;
using namespace vserver::test;

std::string Item(const std::string& key, const std::string& section, const std::string& value) {
    return key + "\xB0" + section + "\xB0" + value;
}

// fileholder.exe holding path until release exists; it says it holds by creating ready.
class Holder {
public:
    Holder(const std::string& path, const std::string& ready, const std::string& release) {
        const std::string exe = (std::filesystem::path(Environment("VSERVER_TEST_SERVER_EXE")).parent_path() / "fileholder.exe").string();
        std::vector<std::string> command{Environment("VSERVER_TEST_LAUNCHER"), exe, ServerPath(path), ServerPath(ready),
                                         ServerPath(release)};
        std::vector<char*> argv;
        for (std::string& part : command) argv.push_back(part.data());
        argv.push_back(nullptr);
        started_ = ::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
    }
    ~Holder() {
        if (started_) ::waitpid(pid_, nullptr, 0);
    }
    bool started() const { return started_; }
    // The holder's exit status once it has let go.
    int Wait() {
        int status = -1;
        if (started_ && ::waitpid(pid_, &status, 0) == pid_) started_ = false;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static std::string Environment(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    pid_t pid_ = -1;
    bool started_ = false;
};

TEST(HeldFiles, APreferenceWriteWaitsForAHolderAndIsKeptOnceItLetsGo) {
    if (!WindowsServer()) GTEST_SKIP() << "the share modes of another process are Windows's (tested under Wine)";
    TempFolder signals;
    const std::string trace = signals / "sync-trace";
    ServerProcess server{ServerOptions{.environment = {{"VSERVER_SYNC_TRACE", trace}}}};
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string file = server.usersFolder() + "/pupil/PUPILVantorelSettings.vts";
    MakeFolder(server.usersFolder() + "/pupil");
    WriteFile(file, "[General]\r\nFontSize=12\r\n");

    Holder holder(file, signals / "ready", signals / "release");
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(WaitUntil([&] { return PathExists(signals / "ready"); }, 60s));
    client::Connection c = server.Connect();
    ASSERT_TRUE(c.Send(client::Request{.id = 3, .type = 203, .account = "pupil", .argument2 = Item("FontSize", "General", "14")}));
    // The rename met the holder at least once; until the holder lets go the write is not
    // answered, and the file keeps its old content.
    ASSERT_TRUE(WaitUntil([&] { return CountLinesStartingWith(trace, "busy ") > 0; }, 30s));
    EXPECT_EQ(ReadFile(file), "[General]\r\nFontSize=12\r\n");
    // Another client is served meanwhile.
    client::Connection other = server.Connect();
    EXPECT_EQ(Exchange(other, client::Request{.id = 1, .type = 207}), Completion(1, 207, "9.0"));
    EXPECT_EQ(CountLinesStartingWith(trace, "synced "), 0);

    WriteFile(signals / "release", "");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(c.ReadMessage(30s).value_or(""), "1\xA7" "3");
    EXPECT_EQ(ReadFile(file), "[General]\r\nFontSize=14\r\n");
    EXPECT_EQ(Names(server.usersFolder() + "/pupil"), std::vector<std::string>{"PUPILVantorelSettings.vts"});
    EXPECT_TRUE(server.ServiceLog().find("Unable to store preference file") == std::string::npos) << server.ServiceLog();
    EXPECT_EQ(server.Stop(), 0);
}

} // namespace
