#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "LogCapture.h"
#include "support/TestProcesses.h"
#include "accounts/AccountStore.h"
#include "accounts/AccountTemporaries.h"
#include "accounts/FolderRemoval.h"
#include "accounts/Listings.h"

namespace vserver::accounts {
namespace {

using vserver::test::PathExists;
using vserver::test::LogCapture;
using vserver::test::MakeFolder;
using vserver::test::Names;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

const std::string kMaster = "[General]\r\nFontSize=12\r\n";

std::string N(std::string path) { return vserver::test::NativePath(std::move(path)); }

class AccountStoreTest : public ::testing::Test {
protected:
    AccountStoreTest() : users(root / "Users") {
        MakeFolder(users);
        WriteFile(users + N("/VantorelSettings.vts"), kMaster);
    }
    TempFolder root;
    std::string users;
    LogCapture log;
};

TEST_F(AccountStoreTest, ExistenceChecksCompareFullPaths) {
    MakeFolder(users + N("/jsmith"));
    EXPECT_TRUE(FolderExists(users + N("/jsmith")));
    EXPECT_TRUE(FolderExists(users + N("/JSMITH/")));
    EXPECT_FALSE(FolderExists(users + N("/js*")));
    // Even a folder whose own name holds a wildcard (possible here, not where the data comes
    // from) is not found by a pattern.
    std::error_code refused;
    std::filesystem::create_directory(users + N("/a?"), refused);
    EXPECT_FALSE(FolderExists(users + N("/a?")));
    EXPECT_FALSE(FileExists(users + N("/a?")));
    EXPECT_FALSE(FolderExists(users + N("/./jsmith")));
    EXPECT_FALSE(FolderExists(users + N("//jsmith")));
    EXPECT_FALSE(FolderExists("Users/jsmith"));
    EXPECT_FALSE(FolderExists(users + N("/VantorelSettings.vts")));
    EXPECT_FALSE(FolderExists(""));

    EXPECT_TRUE(FileExists(users + N("/VantorelSettings.vts")));
    EXPECT_TRUE(FileExists(users + N("/jsmith")));
    EXPECT_FALSE(FileExists(users + N("/vantorelsettings.vts")));
}

TEST_F(AccountStoreTest, CreateCopiesTheMasterUnderTheUpperCasedName) {
    EXPECT_TRUE(CreateAccount(users, "jsmith"));
    EXPECT_EQ(ReadFile(users + N("/jsmith/JSMITHVantorelSettings.vts")), kMaster);

    EXPECT_FALSE(CreateAccount(users, "Jsmith"));
    EXPECT_FALSE(CreateAccount(users, "JSMITH"));
    EXPECT_TRUE(log.Contains("Attempt to create duplicate account: Jsmith"));
    EXPECT_EQ(Names(users), (std::vector<std::string>{"VantorelSettings.vts", "jsmith"}));

    // An empty name names the users folder itself, which exists.
    EXPECT_FALSE(CreateAccount(users, ""));
    EXPECT_TRUE(log.Contains("Attempt to create duplicate account: "));
}

TEST_F(AccountStoreTest, CreateRefusesBadNamesBeforeTouchingAnything) {
    const std::string name25(25, 'a');
    EXPECT_TRUE(CreateAccount(users, name25));
    EXPECT_FALSE(CreateAccount(users, std::string(26, 'b')));
    EXPECT_TRUE(log.Contains("Attempt to create account with too many characters: " + std::string(26, 'b')));

    // The character test comes first.
    std::string longInvalid = std::string(29, 'c') + "\xB0";
    EXPECT_FALSE(CreateAccount(users, longInvalid));
    EXPECT_TRUE(log.Contains("Attempt to create account with invalid characters: " + longInvalid));

    for (std::string bad : {"\xB0x", "a\xA6", "a\xA7", "..", ".", "../escape", "a/b", "a\\b", "c:x", "tab\tname"}) {
        EXPECT_FALSE(CreateAccount(users, bad)) << bad;
        EXPECT_TRUE(log.Contains("Attempt to create account with invalid characters: " + bad)) << bad;
    }
    for (std::string wild : {"*", "a?c"}) {
        EXPECT_FALSE(CreateAccount(users, wild));
        EXPECT_TRUE(log.Contains("Failed to create new user home path: " + users + N("/") + wild));
    }
    EXPECT_EQ(Names(users), (std::vector<std::string>{"VantorelSettings.vts", name25}));
    EXPECT_EQ(Names(root.path()), std::vector<std::string>{"Users"});
}

TEST_F(AccountStoreTest, CreateWithoutUsableMasterStillCreatesTheAccount) {
    std::rename((users + N("/VantorelSettings.vts")).c_str(), (users + N("/vantorelsettings.VTS")).c_str());
    // A file system that does not tell names apart by their capitals keeps finding the master,
    // so there it goes altogether.
    if (Names(users) != std::vector<std::string>{"vantorelsettings.VTS"}) {
        std::filesystem::remove(users + N("/VantorelSettings.vts"));
    }
    EXPECT_TRUE(CreateAccount(users, "alice"));
    EXPECT_TRUE(log.Contains("Can't find master preference file: " + users + N("/VantorelSettings.vts")));
    EXPECT_TRUE(Names(users + N("/alice")).empty());

    // A master that cannot be copied (here a folder of that name) leaves the account without
    // a preference file and no partial copy.
    MakeFolder(users + N("/VantorelSettings.vts"));
    EXPECT_TRUE(CreateAccount(users, "bob"));
    EXPECT_TRUE(log.Contains("Can't copy master preference file to user's home path: " + users +
                             N("/bob/BOBVantorelSettings.vts")));
    EXPECT_TRUE(Names(users + N("/bob")).empty());
}

TEST_F(AccountStoreTest, MissingUsersFolderRefusesEverything) {
    const std::string gone = root / "NoUsers";
    EXPECT_FALSE(CreateAccount(gone, "jsmith"));
    EXPECT_FALSE(DeleteAccount(gone, "jsmith"));
    EXPECT_EQ(ListAccounts(gone), "");
    EXPECT_EQ(ListToolbarSets(gone), "");
    auto texts = log.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Can't find top-level user directory: " + gone), 3);
    EXPECT_FALSE(PathExists(gone));
}

TEST_F(AccountStoreTest, DeleteRefusesNamesThatLeaveTheUsersFolder) {
    MakeFolder(root / "outside");
    MakeFolder(users + N("/jsmith"));
    for (std::string bad : {"", ".", "..", "../outside", "jsmith/..", "a\\..\\..", "\xA7"}) {
        EXPECT_FALSE(DeleteAccount(users, bad)) << bad;
        EXPECT_TRUE(log.Contains("Attempt to delete account with invalid characters: " + bad)) << bad;
    }
    EXPECT_FALSE(DeleteAccount(users, std::string(26, 'j')));
    EXPECT_FALSE(DeleteAccount(users, "nobody"));
    EXPECT_FALSE(DeleteAccount(users, "js*"));
    EXPECT_TRUE(log.Contains("Attempt to delete non-existant account: nobody"));
    EXPECT_TRUE(log.Contains("Attempt to delete account with too many characters: " + std::string(26, 'j')));
    EXPECT_TRUE(PathExists(root / "outside"));
    EXPECT_TRUE(PathExists(users + N("/jsmith")));
    EXPECT_TRUE(PathExists(users + N("/VantorelSettings.vts")));
}

TEST_F(AccountStoreTest, RemovalClearsReadOnlyEntriesDepthFirst) {
    const std::string home = users + N("/jsmith");
    MakeFolder(home + N("/deep/deeper/deepest"));
    MakeFolder(home + N("/empty"));
    WriteFile(home + N("/deep/deeper/deepest/file"), "x");
    WriteFile(home + N("/deep/file"), "x");
    WriteFile(home + N("/JSMITHVantorelSettings.vts"), "x");
    for (std::string p : {"/deep/deeper/deepest/file", "/deep/deeper/deepest", "/deep/file", "/deep",
                          "/JSMITHVantorelSettings.vts", ""}) {
        vserver::test::RemoveWritePermission(home + p);
    }
    EXPECT_TRUE(RemoveFolderTree(home));
    EXPECT_FALSE(PathExists(home));
    EXPECT_EQ(log.CountMentioning(home), 0u);
}

TEST_F(AccountStoreTest, RemovalFollowsNoLinks) {
    MakeFolder(root / "elsewhere");
    WriteFile(root / "elsewhere/keep", "x");
    MakeFolder(users + N("/jsmith"));
    std::error_code refused;
    std::filesystem::create_directory_symlink(root / "elsewhere", users + N("/jsmith/link"), refused);
    if (refused) GTEST_SKIP() << "this system does not let the test create links: " << refused.message();
    std::filesystem::create_directory_symlink(root / "elsewhere", users + N("/linked"));
    vserver::test::RemoveWritePermission(root / "elsewhere/keep");

    EXPECT_TRUE(DeleteAccount(users, "jsmith"));
    EXPECT_TRUE(DeleteAccount(users, "linked"));
    EXPECT_EQ(Names(root / "elsewhere"), std::vector<std::string>{"keep"});
    EXPECT_FALSE(vserver::test::IsWritable(root / "elsewhere/keep"));
    EXPECT_EQ(Names(users), std::vector<std::string>{"VantorelSettings.vts"});
}

// The account is moved out of sight before anything in it is removed, so a removal that stops
// part way leaves no half account: it is gone, and its remains wait for the next start.
TEST_F(AccountStoreTest, ADeletionStoppedPartWayLeavesNoHalfAccount) {
    const std::string home = users + N("/jsmith");
    MakeFolder(home + N("/stuck"));
    WriteFile(home + N("/stuck/held"), "x");
    if (!vserver::test::SetImmutable(home + N("/stuck/held"), true)) GTEST_SKIP() << "no immutable flag here";

    EXPECT_FALSE(DeleteAccount(users, "jsmith"));
    const std::vector<std::string> names = Names(users);
    ASSERT_EQ(names.size(), 2u);
    const std::string aside = users + N("/") + names.front();
    EXPECT_EQ(names.front().rfind(".jsmith.deleted-", 0), 0u) << names.front();
    EXPECT_TRUE(log.Contains("Unable to delete path: " + aside + N("/stuck/held")));
    EXPECT_TRUE(log.Contains("Unable to delete user's home path: " + home));
    EXPECT_TRUE(log.Contains("Moved out of sight, what remains is removed at the next start: " + aside));
    EXPECT_FALSE(FolderExists(home));
    EXPECT_EQ(ListAccounts(users), "");
    EXPECT_TRUE(CreateAccount(users, "jsmith"));

    vserver::test::SetImmutable(aside + N("/stuck/held"), false);
    ClearAccountTemporaries(users);
    EXPECT_TRUE(log.Contains("Removed the folder of an account whose deletion was interrupted: " + aside));
    EXPECT_EQ(Names(users), (std::vector<std::string>{"VantorelSettings.vts", "jsmith"}));
}

// The folders that stand in for accounts being made or removed are no accounts: not listed,
// not to be named by a request, and cleared at start when the process that made them is gone.
TEST_F(AccountStoreTest, TemporariesAreNoAccountsAndGoWhenTheirProcessHasGone) {
    const std::string ended = vserver::test::EndedProcessId();
    const vserver::test::RunningProcess running;
    const std::string unfinished = ".pupil.new-" + ended + "-3";
    const std::string deleted = ".a.new-1-2.deleted-" + ended + "-4";
    const std::string live = ".other.new-" + running.id() + "-5";
    for (std::string name : {unfinished, deleted, live, std::string(".x.new-backup"), std::string("a.new-1-2")}) {
        MakeFolder(users + N("/") + name);
    }
    WriteFile(users + N("/") + unfinished + N("/PUPILVantorelSettings.vts"), "[Gen");

    std::string list = ListAccounts(users);
    EXPECT_EQ(list.find(".pupil"), std::string::npos) << list;
    EXPECT_EQ(list.find(".other"), std::string::npos) << list;
    EXPECT_EQ(list.find(".a.new"), std::string::npos) << list;
    EXPECT_NE(list.find(".x.new-backup"), std::string::npos) << list;
    EXPECT_NE(list.find("a.new-1-2"), std::string::npos) << list;

    for (const std::string& name : {live, std::string(".b.deleted-1-1")}) {
        EXPECT_FALSE(CreateAccount(users, name));
        EXPECT_TRUE(log.Contains("Attempt to create account with invalid characters: " + name));
    }
    EXPECT_FALSE(DeleteAccount(users, live));
    EXPECT_TRUE(log.Contains("Attempt to delete account with invalid characters: " + live));

    ClearAccountTemporaries(users);
    const std::string removedNew = "Removed the unfinished folder of an interrupted account creation: ";
    const std::string removedOld = "Removed the folder of an account whose deletion was interrupted: ";
    EXPECT_TRUE(log.Contains(removedNew + users + N("/") + unfinished));
    EXPECT_TRUE(log.Contains(removedOld + users + N("/") + deleted));
    EXPECT_FALSE(PathExists(users + N("/") + unfinished));
    EXPECT_FALSE(PathExists(users + N("/") + deleted));
    EXPECT_TRUE(PathExists(users + N("/") + live));
    EXPECT_TRUE(PathExists(users + N("/.x.new-backup")));
    EXPECT_TRUE(PathExists(users + N("/a.new-1-2")));
}

TEST_F(AccountStoreTest, ListingsNameFoldersAndToolbarSets) {
    EXPECT_EQ(ListAccounts(users), "");
    MakeFolder(users + N("/jsmith"));
    MakeFolder(users + N("/.hidden"));
    WriteFile(users + N("/jsmith.txt"), "");
    std::string list = ListAccounts(users);
    EXPECT_TRUE(list == "jsmith\xA6.hidden" || list == ".hidden\xA6jsmith") << list;

    EXPECT_EQ(ListToolbarSets(users), "");
    for (std::string set : {"Math", "CLASSIC", "classic", "Reading"}) WriteFile(users + N("/ToolbarSet_") + set + ".vts", "");
    WriteFile(users + N("/ToolbarSet_Other.txt"), "");
    std::string sets = ListToolbarSets(users);
    EXPECT_EQ(sets.size(), std::string("Math\xA6Reading").size());
    EXPECT_NE(sets.find("Math"), std::string::npos);
    EXPECT_NE(sets.find("Reading"), std::string::npos);
}

} // namespace
} // namespace vserver::accounts
