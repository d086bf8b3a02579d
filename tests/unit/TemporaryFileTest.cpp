#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/FileSystem.h"
#include "platform/TemporaryFile.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::Names;
using vserver::test::PathExists;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

#ifdef _WIN32
// A child held suspended from its start: it runs, as far as anyone else can tell, until
// Finish ends it and gives up its handles, after which its id names no process.
class RunningProcess {
public:
    RunningProcess() {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        char command[] = "cmd.exe /c exit 0";
        started_ = ::CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                    nullptr, nullptr, &startup, &info_) != 0;
    }
    ~RunningProcess() { Finish(); }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    std::string id() const { return std::to_string(info_.dwProcessId); }
    void Finish() {
        if (!started_) return;
        ::TerminateProcess(info_.hProcess, 0);
        ::WaitForSingleObject(info_.hProcess, INFINITE);
        ::CloseHandle(info_.hThread);
        ::CloseHandle(info_.hProcess);
        started_ = false;
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

std::string EndedProcessId() {
    RunningProcess child;
    std::string id = child.id();
    child.Finish();
    return id;
}

std::string OwnProcessId() { return std::to_string(::GetCurrentProcessId()); }
#else
std::string EndedProcessId() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return std::to_string(child);
}

// The process that started the tests runs for as long as they do.
struct RunningProcess {
    std::string id() const { return std::to_string(::getppid()); }
};

std::string OwnProcessId() { return std::to_string(::getpid()); }
#endif

TEST(TemporaryFile, OnlyTemporariesOfTheSameFileWhoseWriterHasGoneAreRemoved) {
    TempFolder root;
    const std::string target = root / "prefs.vts";
    const std::string ended = EndedProcessId();
    const RunningProcess running;
    struct Case {
        std::string name;
        bool removed;
    };
    const Case cases[] = {
        {".prefs.vts.tmp-" + ended + "-0", true},                         // its writer was killed
        {".prefs.vts.tmp-" + OwnProcessId() + "-4", true},     // an earlier process with this id
        {".prefs.vts.tmp-" + running.id() + "-1", false},   // its writer still runs
        {".other.vts.tmp-" + ended + "-0", false},                         // another file's
        {".prefs.vts.tmp-" + ended, false},                                // not a name the server makes
        {".prefs.vts.tmp-x1-2", false},
        {"prefs.vts.bak", false},
    };
    for (const Case& c : cases) WriteFile(root / c.name, "partial");
    RemoveStaleTemporaries(target);
    for (const Case& c : cases) EXPECT_EQ(PathExists(root / c.name), !c.removed) << c.name;
}

TEST(TemporaryFile, WritesRemoveStaleTemporariesAndLeaveNoneOfTheirOwn) {
    TempFolder root;
    const std::string ended = EndedProcessId();
    WriteFile(root / "VantorelSettings.vts", "[General]\r\nFontSize=12\r\n");
    WriteFile(root / (".JSMITH.vts.tmp-" + ended + "-3"), "[Gen");
    WriteFile(root / (".queue.log.tmp-" + ended + "-9"), "jsm");

    ASSERT_TRUE(CopyFileNoOverwrite(root / "VantorelSettings.vts", root / "JSMITH.vts").ok());
    ASSERT_TRUE(ReplaceFileContent(root / "queue.log", std::string("a\xA6" "b\r\n\0", 6)).ok());
    EXPECT_EQ(Names(root.path()), (std::vector<std::string>{"JSMITH.vts", "VantorelSettings.vts", "queue.log"}));
    EXPECT_EQ(ReadFile(root / "JSMITH.vts"), "[General]\r\nFontSize=12\r\n");

    // A copy never replaces what is there, in any capitals.
    WriteFile(root / "JSMITH.vts", "mine");
    SysResult refused = CopyFileNoOverwrite(root / "VantorelSettings.vts", root / "jsmith.vts");
    EXPECT_EQ(refused.error(), EEXIST);
    EXPECT_EQ(ReadFile(root / "JSMITH.vts"), "mine");
    EXPECT_EQ(Names(root.path()).size(), 3u);
}

} // namespace
} // namespace vserver::platform
