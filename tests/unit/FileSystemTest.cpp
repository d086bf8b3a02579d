#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "LogCapture.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/common/PathText.h"

namespace vserver::platform {
namespace {

using vserver::test::NativePath;
using vserver::test::PathExists;
using vserver::test::IsWritable;
using vserver::test::MakeFolder;
using vserver::test::Names;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

std::vector<std::string> Found(const std::string& pattern) {
    std::vector<DirectoryEntry> entries;
    EXPECT_TRUE(FindEntries(pattern, entries).ok());
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PathText, FullFormAndWildcards) {
    const auto N = NativePath;
    EXPECT_EQ(CollapsePath(N("/srv//a/./b/../c/"), N("/")), N("/srv/a/c"));
    EXPECT_EQ(CollapsePath(N("x/y"), N("/base")), N("/base/x/y"));
    EXPECT_EQ(CollapsePath(N("/../.."), N("/")), N("/"));
    EXPECT_EQ(FolderPartOf(N("/a/b")), N("/a"));
    EXPECT_EQ(FolderPartOf(N("/a")), N("/"));
    EXPECT_EQ(FolderPartOf("a"), "");
    EXPECT_EQ(LastComponentOf(N("/a/b")), "b");

    EXPECT_TRUE(MatchesWildcard("ToolbarSet_*.vts", "toolbarset_Math.VTS"));
    EXPECT_FALSE(MatchesWildcard("ToolbarSet_*.vts", "ToolbarSet_Math.vtsx"));
    EXPECT_TRUE(MatchesWildcard("*.*", "no-extension"));
    EXPECT_TRUE(MatchesWildcard("a?c", "abc"));
    EXPECT_FALSE(MatchesWildcard("a?c", "ac"));
    EXPECT_TRUE(MatchesWildcard("*a*b*", "xxaYYbzz"));

    EXPECT_EQ(ClientPathToNative("..\\x\\y.vts"), N("../x/y.vts"));
    EXPECT_TRUE(IsStrictlyInside(N("/srv/Users/a"), N("/srv/Users")));
    EXPECT_FALSE(IsStrictlyInside(N("/srv/Users"), N("/srv/Users")));
    EXPECT_FALSE(IsStrictlyInside(N("/srv/UsersX/a"), N("/srv/Users")));
    EXPECT_TRUE(IsStrictlyInside(N("/a"), N("/")));
}

TEST(FileSystem, ResolvesEachComponentExactlyThenWithoutRegardToCase) {
    TempFolder root;
    MakeFolder(root / "Users/JSMITH");
    WriteFile(root / "Users/JSMITH/JSMITHVantorelSettings.vts", "x");

    auto found = ResolveExisting(root / "users/jsmith/jsmithVantorelSettings.vts");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, root / "Users/JSMITH/JSMITHVantorelSettings.vts");
    EXPECT_FALSE(ResolveExisting(root / "users/nobody").has_value());

    // An exact name wins over one that matches only without regard to case (where the file
    // system can hold both).
    MakeFolder(root / "Users/jsmith");
    if (Names(root / "Users").size() < 2) return;
    EXPECT_EQ(*ResolveExisting(root / "Users/jsmith"), root / "Users/jsmith");
}

TEST(FileSystem, DirectorySearchMatchesTheLastComponentOnly) {
    TempFolder root;
    MakeFolder(root / "Users/alice");
    MakeFolder(root / "Users/.hidden");
    WriteFile(root / "Users/ToolbarSet_Math.vts", "");
    WriteFile(root / "Users/toolbarset_reading.VTS", "");
    WriteFile(root / "Users/notes.txt", "");

    EXPECT_EQ(Found(root / "USERS/toolbarset_*.vts"),
              (std::vector<std::string>{"ToolbarSet_Math.vts", "toolbarset_reading.VTS"}));
    EXPECT_EQ(Found(root / "Users/*"), (std::vector<std::string>{".hidden", "ToolbarSet_Math.vts", "alice",
                                                                 "notes.txt", "toolbarset_reading.VTS"}));
    EXPECT_EQ(Found(root / "Users/ALICE"), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(Found(root / "missing/*").empty());
    EXPECT_TRUE(Found(root / "Users/").empty());

    std::vector<DirectoryEntry> entries;
    ASSERT_TRUE(FindEntries(root / "Users/alice", entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].isFolder);
}

// Names travel in the code page; on disk they are Unicode, as other programs show them.
TEST(FileSystem, NamesInTheCodePageAreFoundInAnyCapitalsAndListedAsSent) {
    TempFolder root;
    MakeFolder(root / "Users");
    ASSERT_TRUE(CreateFolder(root / "Users/M\xFCller").ok());
    ASSERT_TRUE(ReplaceFileContent(root / "Users/m\xDCller/Gr\xFC\xDF" "e \x80.vts", "x").ok());
#ifndef _WIN32
    EXPECT_EQ(Names(root / "Users/M\xC3\xBCller"), (std::vector<std::string>{"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC.vts"}));
#endif
    EXPECT_EQ(Found(root / "Users/*"), (std::vector<std::string>{"M\xFCller"}));
    EXPECT_EQ(Found(root / "USERS/M\xDCLLER/GR\xDC*.VTS"), (std::vector<std::string>{"Gr\xFC\xDF" "e \x80.vts"}));
    EXPECT_EQ(*ResolveExisting(root / "users/m\xFCLLER"), root / "Users/M\xFCller");
    std::string text;
    ASSERT_TRUE(ReadWholeFile(root / "USERS/M\xDCLLER/gr\xFC\xDF" "e \x80.VTS", text).ok());
    EXPECT_EQ(text, "x");

    {
        PlaceBeneath place = FindBeneath(root / "Users", "M\xDCLLER/gr\xFC\xDF" "e \x80.vts");
        ASSERT_TRUE(place.found());
        EXPECT_EQ(place.name, "Gr\xFC\xDF" "e \x80.vts");
        EXPECT_EQ(place.path, root / "Users/M\xFCller/Gr\xFC\xDF" "e \x80.vts");
        ASSERT_TRUE(ReadFileBeneath(root / "Users", "m\xFCller/Gr\xFC\xDF" "e \x80.vts", text).ok());
        ASSERT_TRUE(RemoveEntry(place).ok());
    }
    // With the place gone nothing holds the folder: on Windows a folder still held open stays
    // listed until its last handle closes.
    ASSERT_TRUE(RemoveFolder(root / "Users/M\xFCller").ok());
    EXPECT_EQ(Names(root / "Users"), std::vector<std::string>{});
}

#ifndef _WIN32
// Names an earlier version stored as the code page's bytes stay reachable; a name with a
// character the code page lacks is listed with '?' in its place and can still be reached so.
TEST(FileSystem, RawBytesFromBeforeAndForeignCharacters) {
    TempFolder root;
    MakeFolder(root / "Users/Bj\xF8rn");
    WriteFile(root / "Users/Bj\xF8rn/BJ\xD8RN.vts", "old");
    MakeFolder(root / "Users/\xCE\xA9mega");
    std::string text;
    ASSERT_TRUE(ReadWholeFile(root / "Users/bj\xD8rn/bj\xF8rn.vts", text).ok());
    EXPECT_EQ(text, "old");
    ASSERT_TRUE(ReplaceFileContent(root / "Users/BJ\xD8RN/bj\xF8rn.vts", "new").ok());
    EXPECT_EQ(ReadFile(root / "Users/Bj\xF8rn/BJ\xD8RN.vts"), "new");
    EXPECT_EQ(Names(root / "Users/Bj\xF8rn"), (std::vector<std::string>{"BJ\xD8RN.vts"}));
    ASSERT_TRUE(ReadFileBeneath(root / "Users", "BJ\xF8RN/bj\xD8rn.vts", text).ok());
    EXPECT_EQ(text, "new");

    EXPECT_EQ(Found(root / "Users/*"), (std::vector<std::string>{"?mega", "Bj\xF8rn"}));
    EXPECT_TRUE(FindBeneath(root / "Users", "?MEGA").found());
    ASSERT_TRUE(RemoveFile(root / "Users/bj\xF8rn/BJ\xD8RN.vts").ok());
    ASSERT_TRUE(RemoveFolder(root / "Users/BJ\xD8RN").ok());
    EXPECT_EQ(Names(root / "Users"), (std::vector<std::string>{"\xCE\xA9mega"}));
}
#endif

TEST(FileSystem, CopyNeverOverwritesAndKeepsTheSource) {
    TempFolder root;
    WriteFile(root / "master.vts", "[General]\r\nA=1\r\n");
    ASSERT_TRUE(CopyFileNoOverwrite(root / "MASTER.vts", root / "Copy.vts").ok());
    EXPECT_EQ(ReadFile(root / "Copy.vts"), "[General]\r\nA=1\r\n");

    WriteFile(root / "copy.vts", "other");
    SysResult again = CopyFileNoOverwrite(root / "master.vts", root / "COPY.VTS");
    EXPECT_FALSE(again.ok());
    EXPECT_EQ(ReadFile(root / "copy.vts"), "other");
    EXPECT_FALSE(CopyFileNoOverwrite(root / "absent.vts", root / "x.vts").ok());
    EXPECT_FALSE(PathExists(root / "x.vts"));
}

TEST(FileSystem, ReplaceKeepsPermissionsAndLeavesNoTemporaryFile) {
    TempFolder root;
    WriteFile(root / "prefs.vts", "old");
    vserver::test::RemoveWritePermission(root / "prefs.vts");
    ASSERT_TRUE(ReplaceFileContent(root / "PREFS.vts", "new").ok());
    EXPECT_EQ(ReadFile(root / "prefs.vts"), "new");
    EXPECT_FALSE(IsWritable(root / "prefs.vts"));
    EXPECT_EQ(Names(root.path()), std::vector<std::string>{"prefs.vts"});

    EXPECT_FALSE(ReplaceFileContent(root / "nofolder/prefs.vts", "x").ok());
}

TEST(FileSystem, FoldersAndReadOnlyAttribute) {
    TempFolder root;
    const auto N = NativePath;
    ASSERT_TRUE(CreateFolder(root / "Home").ok());
    EXPECT_FALSE(CreateFolder(root / "HOME").ok());  // exists in other capitals
    EXPECT_FALSE(CreateFolder(root / "a/b").ok());   // one level only

    // The attribute is the one preference files carry; it is set on a file, since some
    // systems keep no read-only attribute for folders.
    WriteFile(root / "Home/Prefs.vts", "x");
    bool readOnly = true;
    ASSERT_TRUE(IsReadOnly(root / "home/prefs.vts", readOnly).ok());
    EXPECT_FALSE(readOnly);
    ASSERT_TRUE(SetReadOnly(root / "home/PREFS.vts").ok());
    ASSERT_TRUE(IsReadOnly(root / "home/prefs.vts", readOnly).ok());
    EXPECT_TRUE(readOnly);
    ASSERT_TRUE(ClearReadOnly(root / "HOME/Prefs.VTS").ok());
    EXPECT_TRUE(IsWritable(root / "Home/Prefs.vts"));
    ASSERT_TRUE(RemoveFile(root / "home/prefs.vts").ok());

    ASSERT_TRUE(RemoveFolder(root / "hOME").ok());
    EXPECT_FALSE(PathExists(root / "Home"));
    EXPECT_EQ(FullPathForm(root.path() + N("//x/./y/..")), root / "x");
}

#ifndef _WIN32
// A named pipe that lives in a folder exists on POSIX systems only.
TEST(FileSystem, APipeInAFilesPlaceDoesNotStopTheReader) {
    TempFolder root;
    ASSERT_EQ(::mkfifo((root / "prefs.vts").c_str(), 0666), 0);
    std::string content = "left over";
    // Opening a pipe for reading would wait for a writer that never comes.
    EXPECT_TRUE(ReadWholeFile(root / "PREFS.vts", content).ok());
    EXPECT_EQ(content, "");
}
#endif

#ifndef _WIN32
// The kept folder listings and symbolic links below belong to the POSIX lookup: on Windows the
// system itself finds names without regard to case (two names that differ only in capitals
// cannot both exist), and making symbolic links takes a privilege a test does not have.

// Lets the folders' change stamps age past the point where a kept listing may be trusted, so
// that the next lookup keeps one and the lookup after a change must notice the change.
void LetStampsSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

TEST(FileSystem, KeptListingsNeverHideAChange) {
    TempFolder root;
    const std::string users = root / "Users";
    MakeFolder(users + "/JSMITH");
    WriteFile(users + "/JSMITH/JSMITHVantorelSettings.vts", "1");
    const std::string asked = users + "/jsmith/jsmithVantorelSettings.vts";

    // Each change is followed at once by a lookup (the change's stamps are still fresh), then,
    // once the stamps settled, by lookups that are answered from the kept listings.
    struct Step {
        const char* what;
        void (*change)(const std::string& users);
        const char* found;  // below users; nullptr: nothing
    } steps[] = {
        {"as created", [](const std::string&) {}, "JSMITH/JSMITHVantorelSettings.vts"},
        {"file renamed to other capitals",
         [](const std::string& u) {
             std::filesystem::rename(u + "/JSMITH/JSMITHVantorelSettings.vts", u + "/JSMITH/jsmithvantorelsettings.VTS");
         },
         "JSMITH/jsmithvantorelsettings.VTS"},
        {"exact spelling added beside it",
         [](const std::string& u) { WriteFile(u + "/JSMITH/jsmithVantorelSettings.vts", "2"); },
         "JSMITH/jsmithVantorelSettings.vts"},
        {"both removed",
         [](const std::string& u) {
             std::filesystem::remove(u + "/JSMITH/jsmithVantorelSettings.vts");
             std::filesystem::remove(u + "/JSMITH/jsmithvantorelsettings.VTS");
         },
         nullptr},
        {"home folder renamed, file back",
         [](const std::string& u) {
             std::filesystem::rename(u + "/JSMITH", u + "/JSmith");
             WriteFile(u + "/JSmith/JSMITHVantorelSettings.vts", "3");
         },
         "JSmith/JSMITHVantorelSettings.vts"},
        {"home folder replaced by another",
         [](const std::string& u) {
             std::filesystem::rename(u + "/JSmith", u + "/old");
             MakeFolder(u + "/JSmith");
             WriteFile(u + "/JSmith/Jsmithvantorelsettings.vts", "4");
         },
         "JSmith/Jsmithvantorelsettings.vts"},
    };
    for (const Step& step : steps) {
        step.change(users);
        for (int round = 0; round < 3; ++round) {
            auto found = ResolveExisting(asked);
            if (step.found == nullptr) {
                EXPECT_FALSE(found.has_value()) << step.what << ", round " << round;
            } else {
                EXPECT_EQ(found.value_or("(nothing)"), users + "/" + step.found) << step.what << ", round " << round;
            }
            // The lookups below the users folder keep the same listings and must see the same.
            const std::string wanted = step.found == nullptr ? "(nothing)" : users + "/" + step.found;
            PlaceBeneath place = FindBeneath(users, "jsmith/jsmithVantorelSettings.vts");
            EXPECT_EQ(place.found() ? place.path : "(nothing)", wanted) << step.what << ", round " << round;
            std::string content;
            EXPECT_EQ(ReadFileBeneath(users, "jsmith/jsmithVantorelSettings.vts", content).ok(), step.found != nullptr)
                << step.what << ", round " << round;
            if (round == 0) LetStampsSettle();
        }
    }
}

#endif

} // namespace
} // namespace vserver::platform
