#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "platform/TemporaryFile.h"
#include "support/TestFiles.h"
#include "support/TestProcesses.h"

namespace vserver::platform {
namespace {

using vserver::test::Names;
using vserver::test::PathExists;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;
using vserver::test::EndedProcessId;
using vserver::test::OwnProcessId;
using vserver::test::RunningProcess;


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
