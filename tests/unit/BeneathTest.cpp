// Lookups below a folder that no step may leave: names in any capitals, ".." that stops at the
// folder, links followed only as far as they stay below it, and places that keep their folder
// when the way to it is swapped for a link afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Beneath.h"
#include "platform/DurableWrites.h"
#include "support/TestFiles.h"
#ifndef _WIN32
#include "platform/posix/BeneathFolder.h"
#endif

namespace vserver::platform {
namespace {

using Outcome = PlaceBeneath::Outcome;
using vserver::test::MakeFolder;
using vserver::test::NativePath;
using vserver::test::Names;
using vserver::test::PathExists;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

struct Case {
    std::string relative;  // below the folder, written with "/"
    Outcome outcome;
    std::string path;      // below the folder as stored, written with "/"; "" when none
};

// Checks FindBeneath and ReadFileBeneath against each case; content is what every found file
// below the folder holds.
void ExpectCases(const std::string& folder, const std::vector<Case>& cases, const std::string& content) {
    for (const Case& c : cases) {
        const std::string relative = NativePath(c.relative);
        PlaceBeneath place = FindBeneath(folder, relative);
        EXPECT_EQ(place.outcome, c.outcome) << c.relative;
        EXPECT_EQ(place.path, c.path.empty() ? "" : folder + NativePath("/" + c.path)) << c.relative;
        std::string read;
        SysResult result = ReadFileBeneath(folder, relative, read);
        if (c.outcome == Outcome::Found && !place.isFolder) {
            EXPECT_TRUE(result.ok()) << c.relative << ": " << result.Describe();
            EXPECT_EQ(read, content) << c.relative;
        } else if (c.outcome == Outcome::Outside) {
            EXPECT_EQ(result.error(), kOutsideError) << c.relative;
        } else if (c.outcome != Outcome::Found) {
            EXPECT_EQ(result.error(), ENOENT) << c.relative;
        }
    }
}

TEST(Beneath, FindsEachNameInAnyCapitalsAndNeverAboveTheFolder) {
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + NativePath("/JSMITH"));
    WriteFile(users + NativePath("/JSMITH/JSMITHVantorelSettings.vts"), "mine");
    WriteFile(root / "secret.vts", "secret");
    const std::string file = "JSMITH/JSMITHVantorelSettings.vts";
    ExpectCases(users,
                {
                    {"jsmith/jsmithVantorelSettings.vts", Outcome::Found, file},
                    {"JSMITH/JSMITHVantorelSettings.vts", Outcome::Found, file},
                    {"jsmith", Outcome::Found, "JSMITH"},
                    {"jsmith/new.vts", Outcome::Missing, "JSMITH/new.vts"},
                    {"nobody/new.vts", Outcome::NoFolder, ""},
                    {"jsmith/JSMITHVantorelSettings.vts/x", Outcome::NoFolder, ""},
                    {"jsmith/./../Jsmith/jsmithvantorelsettings.VTS", Outcome::Found, file},
                    {"../secret.vts", Outcome::Outside, ""},
                    {"jsmith/../../secret.vts", Outcome::Outside, ""},
                    {"../Users/jsmith/jsmithVantorelSettings.vts", Outcome::Outside, ""},
                },
                "mine");
    EXPECT_TRUE(FindBeneath(users, "").outcome == Outcome::NoFolder);
    EXPECT_TRUE(FindBeneath(root / "nowhere", "x").outcome == Outcome::NoFolder);
}

TEST(Beneath, PlacesCreateReplaceAppendAndRemoveInTheirFolder) {
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + NativePath("/JSMITH"));
    {
        // A place holds the folders on its way (on Windows they cannot be removed meanwhile).
        PlaceBeneath folder = FindBeneath(users, "jsmith/sets");
        ASSERT_EQ(folder.outcome, Outcome::Missing);
        ASSERT_TRUE(CreateFolder(folder).ok());
        PlaceBeneath file = FindBeneath(users, NativePath("jsmith/SETS/Math.vts"));
        ASSERT_EQ(file.outcome, Outcome::Missing);
        UnsyncedWrite write;
        ASSERT_TRUE(StageReplacement(file, "[S]\r\nK=1\r\n", write).ok());
        ASSERT_TRUE(CompleteWrite(write).ok());
    }
    const std::string stored = users + NativePath("/JSMITH/sets/Math.vts");
    EXPECT_EQ(ReadFile(stored), "[S]\r\nK=1\r\n");
    ASSERT_TRUE(AppendNulTerminated(FindBeneath(users, NativePath("jsmith/sets/log")), "a\r\n", AppendOpen::CreateIfMissing,
                                    LockWait::Bounded)
                    .ok());
    EXPECT_EQ(ReadFile(users + NativePath("/JSMITH/sets/log")), std::string("a\r\n\0", 4));

    PlaceBeneath copy = FindBeneath(users, NativePath("jsmith/copy.vts"));
    ASSERT_TRUE(CopyFileNoOverwrite(FindBeneath(users, NativePath("jsmith/sets/math.vts")), copy).ok());
    EXPECT_EQ(CopyFileNoOverwrite(FindBeneath(users, NativePath("jsmith/sets/math.vts")), copy).error(), EEXIST);
    EXPECT_EQ(ReadFile(users + NativePath("/JSMITH/copy.vts")), "[S]\r\nK=1\r\n");

    std::vector<PlaceBeneath> entries;
    ASSERT_TRUE(ListBeneath(FindBeneath(users, NativePath("jsmith/sets")), entries).ok());
    std::vector<std::string> names;
    for (const PlaceBeneath& entry : entries) {
        // Windows guards an appended file with a companion lock file beside it.
        if (entry.name.ends_with(".lock")) continue;
        names.push_back(entry.name);
        EXPECT_TRUE(RemoveEntry(entry).ok()) << entry.path;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Math.vts", "log"}));
    for (const PlaceBeneath& entry : entries) (void)RemoveEntry(entry);
    entries.clear();  // they hold the folder
    SysResult removed = RemoveEntry(FindBeneath(users, NativePath("jsmith/sets")));
    EXPECT_TRUE(removed.ok()) << removed.Describe();
    EXPECT_EQ(Names(users + NativePath("/JSMITH")), std::vector<std::string>{"copy.vts"});
}

#ifndef _WIN32
// Symbolic links: a Windows test cannot make them without a privilege (see the Windows
// backend's own tests for reparse points).

// Runs body with openat2 allowed and then with the walk alone, as on a system without it.
template <typename Body>
void WithAndWithoutOpenat2(Body body) {
    for (bool allowed : {true, false}) {
        SCOPED_TRACE(allowed ? "openat2" : "walk alone");
        beneath::AllowOpenat2(allowed);
        body();
    }
    beneath::AllowOpenat2(true);
}

TEST(Beneath, LinksAreFollowedOnlyAsFarAsTheyStayBelowTheFolder) {
    namespace fs = std::filesystem;
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + "/JSMITH");
    WriteFile(users + "/JSMITH/JSMITHVantorelSettings.vts", "mine");
    MakeFolder(root / "outside");
    WriteFile(root / "outside/secret.vts", "secret");
    fs::create_directory_symlink(root / "outside", users + "/evil");
    fs::create_directory_symlink("JSMITH", users + "/alias");
    fs::create_directory_symlink(users + "/JSMITH", users + "/alias2");
    fs::create_directory_symlink("..", users + "/up");
    fs::create_directory_symlink("../alias", users + "/JSMITH/chain");
    fs::create_symlink("loop2", users + "/loop1");
    fs::create_symlink("loop1", users + "/loop2");
    fs::create_symlink(root / "outside/secret.vts", users + "/JSMITH/leak.vts");
    fs::create_symlink(root / "nowhere.vts", users + "/JSMITH/dangling.vts");
    fs::create_symlink("JSMITHVantorelSettings.vts", users + "/JSMITH/same.vts");
    fs::create_directory_symlink(users, root / "UsersLink");
    const std::string file = "JSMITH/JSMITHVantorelSettings.vts";
    const std::vector<Case> cases = {
        {"evil/secret.vts", Outcome::Outside, ""},
        {"EVIL/SECRET.VTS", Outcome::Outside, ""},
        {"evil/new.vts", Outcome::Outside, ""},
        {"up/outside/secret.vts", Outcome::Outside, ""},
        {"up/Users/JSMITH/JSMITHVantorelSettings.vts", Outcome::Outside, ""},
        {"JSMITH/leak.vts", Outcome::Outside, ""},
        {"jsmith/DANGLING.vts", Outcome::Outside, ""},
        {"loop1/x", Outcome::Outside, ""},
        {"alias/jsmithVantorelSettings.vts", Outcome::Found, file},
        {"ALIAS2/JSMITHVantorelSettings.vts", Outcome::Found, file},
        {"jsmith/chain/jsmithVantorelSettings.vts", Outcome::Found, file},
        {"alias/new.vts", Outcome::Missing, "JSMITH/new.vts"},
        {"jsmith/same.vts", Outcome::Found, file},
        {"jsmith/up/x", Outcome::NoFolder, ""},
    };
    WithAndWithoutOpenat2([&] {
        ExpectCases(users, cases, "mine");
        // The folder itself may be reached through a link, and named in other capitals.
        ExpectCases(root / "UsersLink", {{"alias/jsmithVantorelSettings.vts", Outcome::Found, file}}, "mine");
        EXPECT_EQ(FindBeneath(root / "userslink", "jsmith/new.vts").path, root / "UsersLink/JSMITH/new.vts");
        ExpectCases(root / "userslink", {{"alias/../evil/x", Outcome::Outside, ""}}, "mine");

        // A removal takes the link itself, wherever it leads.
        PlaceBeneath link = FindBeneath(users, "evil", FinalLink::Keep);
        EXPECT_TRUE(link.found() && link.isLink);
        EXPECT_EQ(link.path, users + "/evil");
        PlaceBeneath same = FindBeneath(users, "jsmith/same.vts", FinalLink::Keep);
        EXPECT_TRUE(same.found() && same.isLink);
        EXPECT_EQ(same.path, users + "/JSMITH/same.vts");
    });
}

TEST(Beneath, APlaceKeepsItsFolderWhenTheWayIsSwappedForALinkAfterwards) {
    namespace fs = std::filesystem;
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + "/JSMITH");
    MakeFolder(root / "outside");
    WriteFile(users + "/JSMITH/JSMITHVantorelSettings.vts", "mine");
    WriteFile(root / "outside/JSMITHVantorelSettings.vts", "theirs");
    WithAndWithoutOpenat2([&] {
        PlaceBeneath file = FindBeneath(users, "jsmith/jsmithVantorelSettings.vts");
        PlaceBeneath added = FindBeneath(users, "jsmith/added.log");
        ASSERT_TRUE(file.found());
        ASSERT_EQ(added.outcome, Outcome::Missing);

        fs::rename(users + "/JSMITH", users + "/kept");
        fs::create_directory_symlink(root / "outside", users + "/JSMITH");
        std::string read;
        ASSERT_TRUE(ReadWholeFile(file, read).ok());
        EXPECT_EQ(read, "mine");
        UnsyncedWrite write;
        ASSERT_TRUE(StageReplacement(file, "replaced", write).ok());
        ASSERT_TRUE(CompleteWrite(write).ok());
        ASSERT_TRUE(AppendNulTerminated(added, "line\r\n", AppendOpen::CreateIfMissing, LockWait::Bounded).ok());
        EXPECT_EQ(ReadFile(users + "/kept/JSMITHVantorelSettings.vts"), "replaced");
        EXPECT_TRUE(PathExists(users + "/kept/added.log"));
        EXPECT_EQ(Names(root / "outside"), std::vector<std::string>{"JSMITHVantorelSettings.vts"});
        EXPECT_EQ(ReadFile(root / "outside/JSMITHVantorelSettings.vts"), "theirs");
        // Looked up afresh, the way now leads out.
        EXPECT_EQ(FindBeneath(users, "jsmith/jsmithVantorelSettings.vts").outcome, Outcome::Outside);
        EXPECT_EQ(ReadFileBeneath(users, "JSMITH/JSMITHVantorelSettings.vts", read).error(), kOutsideError);

        fs::remove(users + "/JSMITH");
        fs::remove(users + "/kept/added.log");
        fs::rename(users + "/kept", users + "/JSMITH");
        WriteFile(users + "/JSMITH/JSMITHVantorelSettings.vts", "mine");
    });
}

TEST(Beneath, AFolderSwappedForALinkWhileItsTreeIsWalkedIsNotEntered) {
    namespace fs = std::filesystem;
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + "/jsmith/sub");
    WriteFile(users + "/jsmith/sub/file", "x");
    MakeFolder(root / "outside");
    WriteFile(root / "outside/keep", "x");
    std::vector<PlaceBeneath> entries;
    ASSERT_TRUE(ListBeneath(FindBeneath(users, "jsmith", FinalLink::Keep), entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_TRUE(entries[0].isFolder);

    fs::rename(users + "/jsmith/sub", users + "/jsmith/old");
    fs::create_directory_symlink(root / "outside", users + "/jsmith/sub");
    std::vector<PlaceBeneath> inside;
    EXPECT_EQ(ListBeneath(entries[0], inside).error(), ENOTDIR);
    EXPECT_FALSE(RemoveEntry(entries[0]).ok());
    EXPECT_EQ(Names(root / "outside"), std::vector<std::string>{"keep"});
}

#endif

} // namespace
} // namespace vserver::platform
