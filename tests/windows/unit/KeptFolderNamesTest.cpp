// The Windows backend keeps the names of the folders it looked into and uses them again while
// each folder's stamps stay the same. Whatever is renamed, removed or made again on the way, a
// lookup must give the capitals on disk now, both at once after the change (the stamps are still
// fresh) and once the stamps have settled and the names are kept again.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/Beneath.h"
#include "platform/DurableWrites.h"
#include "platform/FileSystem.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::MakeFolder;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// Lets the folders' stamps age past the point where kept names may be trusted, so that the next
// lookup keeps them and the lookup after a change must notice the change.
void LetStampsSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

void Rename(const std::string& from, const std::string& to) { std::filesystem::rename(from, to); }

// Wine keeps the old capitals when a rename changes nothing else, so the entry goes through a
// name of its own on the way, as an administrator's tool might.
void RenameInCapitals(const std::string& from, const std::string& to) {
    Rename(from, from + ".renaming");
    Rename(from + ".renaming", to);
}

struct Step {
    const char* what;
    void (*change)(const std::string& root);
    const char* found;  // below root; nullptr: nothing
};

// Changes on every level of root\Users\JSMITH\JSMITHVantorelSettings.vts, each looked up as
// "users\jsmith\jsmithvantorelsettings.vts", directly and below the users folder.
const Step kSteps[] = {
    {"as created", [](const std::string&) {}, "Users\\JSMITH\\JSMITHVantorelSettings.vts"},
    {"file renamed in capitals only",
     [](const std::string& r) {
         RenameInCapitals(r + "\\Users\\JSMITH\\JSMITHVantorelSettings.vts",
                          r + "\\Users\\JSMITH\\jsmithVantorelSettings.VTS");
     },
     "Users\\JSMITH\\jsmithVantorelSettings.VTS"},
    {"home folder renamed in capitals only",
     [](const std::string& r) { RenameInCapitals(r + "\\Users\\JSMITH", r + "\\Users\\JSmith"); },
     "Users\\JSmith\\jsmithVantorelSettings.VTS"},
    {"users folder renamed in capitals only", [](const std::string& r) { RenameInCapitals(r + "\\Users", r + "\\USERS"); },
     "USERS\\JSmith\\jsmithVantorelSettings.VTS"},
    {"file removed", [](const std::string& r) { std::filesystem::remove(r + "\\USERS\\JSmith\\jsmithVantorelSettings.VTS"); },
     nullptr},
    {"file made again beside another",
     [](const std::string& r) {
         WriteFile(r + "\\USERS\\JSmith\\Other.vts", "2");
         WriteFile(r + "\\USERS\\JSmith\\JsmithVantorelSettings.vts", "2");
     },
     "USERS\\JSmith\\JsmithVantorelSettings.vts"},
    {"home folder removed and made again",
     [](const std::string& r) {
         std::filesystem::remove_all(r + "\\USERS\\JSmith");
         MakeFolder(r + "\\USERS\\jsmith");
         WriteFile(r + "\\USERS\\jsmith\\JSMITHvantorelsettings.vts", "3");
     },
     "USERS\\jsmith\\JSMITHvantorelsettings.vts"},
    {"home folder replaced by another moved into its place",
     [](const std::string& r) {
         MakeFolder(r + "\\USERS\\new");
         WriteFile(r + "\\USERS\\new\\jsmithvantorelsettings.vts", "4");
         Rename(r + "\\USERS\\jsmith", r + "\\USERS\\old");
         Rename(r + "\\USERS\\new", r + "\\USERS\\JSMITH");
     },
     "USERS\\JSMITH\\jsmithvantorelsettings.vts"},
};

TEST(WindowsKeptNames, NoRenameRemovalOrNewFolderOnTheWayIsHidden) {
    TempFolder root;
    MakeFolder(root / "Users/JSMITH");
    WriteFile(root / "Users/JSMITH/JSMITHVantorelSettings.vts", "1");
    const std::string asked = root / "users/jsmith/jsmithvantorelsettings.vts";
    for (const Step& step : kSteps) {
        step.change(root.path());
        for (int round = 0; round < 3; ++round) {
            const std::string wanted = step.found == nullptr ? "(nothing)" : root.path() + "\\" + step.found;
            EXPECT_EQ(ResolveExisting(asked).value_or("(nothing)"), wanted) << step.what << ", round " << round;
            PlaceBeneath place = FindBeneath(root / "users", "jsmith\\jsmithvantorelsettings.vts");
            EXPECT_EQ(place.found() ? place.path : "(nothing)", wanted) << step.what << ", round " << round;
            if (round == 0) LetStampsSettle();
        }
    }
}

TEST(WindowsKeptNames, ANewEntryIsCreatedInTheCapitalsOfOneThatAppearedSinceTheFolderWasListed) {
    TempFolder root;
    MakeFolder(root / "Home");
    LetStampsSettle();
    // A lookup that finds nothing keeps the listing that shows the name missing.
    std::vector<DirectoryEntry> entries;
    ASSERT_TRUE(FindEntries(root / "home/prefs.vts", entries).ok());
    EXPECT_TRUE(entries.empty());
    WriteFile(root / "Home/Prefs.VTS", "1");
    ASSERT_TRUE(FindEntries(root / "home/prefs.vts", entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "Prefs.VTS");
    // A replacement by another spelling goes to the file that is there, as the kept names say.
    LetStampsSettle();
    ASSERT_TRUE(FindEntries(root / "home/prefs.vts", entries).ok());
    UnsyncedWrite unsynced;
    ASSERT_TRUE(StageReplacement(root / "home/PREFS.vts", "2", unsynced).ok());
    EXPECT_EQ(unsynced.target, root / "Home/Prefs.VTS");
}

} // namespace
} // namespace vserver::platform
