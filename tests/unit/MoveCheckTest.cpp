// The check of an installation's folders before or after a move between Windows and Linux.

#include "vserverctl/MoveCheck.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestFiles.h"

namespace vserver::ctl {
namespace {

using vserver::test::MakeFolder;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

std::vector<std::string> Kinds(const std::vector<MoveFinding>& findings, const std::string& path) {
    std::vector<std::string> kinds;
    for (const MoveFinding& finding : findings) {
        if (finding.path == path) kinds.push_back(finding.kind);
    }
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

TEST(MoveCheck, NamesWindowsRefuses) {
    for (const char* name : {"notes.", "notes ", "a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b", "a\x01z", "CON",
                             "con.txt", "Lpt1", "COM9.vts", "NUL"}) {
        EXPECT_FALSE(WindowsRefusal(name).empty()) << name;
    }
    for (const char* name : {"jsmith", ".hidden", "COM", "LPT10", "console", "CONtent.vts", "Jos\xC3\xA9", "a b"}) {
        EXPECT_EQ(WindowsRefusal(name), "") << name;
    }
}

TEST(MoveCheck, NamesOfOneFolder) {
    std::vector<MoveFinding> found;
    CheckNames("/m/Users", {"jsmith", "JSmith", "Jos\xC3\xA9", "JOS\xC3\x89", "Bj\xF8rn", "\xCE\xA9mega", "ok"}, found);
    EXPECT_EQ(Kinds(found, "/m/Users/JSmith"), std::vector<std::string>{"differ-in-capitals"});
    EXPECT_EQ(Kinds(found, "/m/Users/JOS\xC3\x89"), std::vector<std::string>{"differ-in-capitals"});
    EXPECT_EQ(Kinds(found, "/m/Users/Bj\xF8rn"), std::vector<std::string>{"not-utf8"});
    EXPECT_EQ(Kinds(found, "/m/Users/\xCE\xA9mega"), std::vector<std::string>{"outside-code-page"});
    EXPECT_EQ(found.size(), 4u);
    EXPECT_EQ(Printable("/m/Bj\xF8rn/Jos\xC3\xA9"), "/m/Bj\\xF8rn/Jos\xC3\xA9");
}

#ifndef _WIN32
TEST(MoveCheck, APreparedMasterFolder) {
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + "/jsmith");
    WriteFile(users + "/jsmith/JSMITHVantorelSettings.vts", "");
    MakeFolder(users + "/Jos\xC3\xA9");
    WriteFile(users + "/Jos\xC3\xA9/jos\xC3\xA9vantorelsettings.VTS", "");
    MakeFolder(users + "/empty");
    MakeFolder(users + "/.gone.new-999999999-1");
    WriteFile(users + "/jsmith/.JSMITHVantorelSettings.vts.tmp-999999999-3", "");
    WriteFile(users + "/ToolbarSet_Math.vts.", "");
    WriteFile(root / "VantorelSettings.vts", "");

    const std::vector<MoveFinding> found = CheckMasterFolder(root.path());
    EXPECT_EQ(Kinds(found, users + "/empty"), std::vector<std::string>{"no-preference-file"});
    EXPECT_EQ(Kinds(found, users + "/.gone.new-999999999-1"), std::vector<std::string>{"stale-temporary"});
    EXPECT_EQ(Kinds(found, users + "/jsmith/.JSMITHVantorelSettings.vts.tmp-999999999-3"),
              std::vector<std::string>{"stale-temporary"});
    EXPECT_EQ(Kinds(found, users + "/ToolbarSet_Math.vts."), std::vector<std::string>{"windows-refuses"});
    EXPECT_EQ(found.size(), 4u);
}
#endif

} // namespace
} // namespace vserver::ctl
