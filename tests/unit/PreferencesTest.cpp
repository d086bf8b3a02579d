#include <gtest/gtest.h>

#include "LogCapture.h"
#include "accounts/Preferences.h"

namespace vserver::accounts {
namespace {

using vserver::test::PathExists;
using vserver::test::LogCapture;
using vserver::test::MakeFolder;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

std::string Item(const std::string& key, const std::string& section, const std::string& value) {
    return key + "\xB0" + section + "\xB0" + value;
}

class PreferencesTest : public ::testing::Test {
protected:
    PreferencesTest() : users(root / "Users") {
        MakeFolder(users + "/JSMITH");
        WriteFile(users + "/JSMITH/JSMITHVantorelSettings.vts", "[General]\r\nFontSize=12\r\nEmpty=\r\n");
    }
    TempFolder root;
    std::string users;
    LogCapture log;
};

TEST_F(PreferencesTest, ReadsTheAccountsFileInAnyCapitals) {
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("fontsize", "general", "10")), "fontsize\xB0" "12");
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("Voice", "General", "Default")), "Voice\xB0" "Default");
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("Empty", "General", "d")), "Empty\xB0" "d");
    EXPECT_EQ(ReadPreferences(users, "nobody", "", Item("FontSize", "General", "10")), "FontSize\xB0" "10");
    // Items without key or section are skipped; the list ends at the first empty item.
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("", "General", "x")), "");
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", ""), "");
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("FontSize", "General", "1") + "\xA6" +
                                                       Item("Voice", "General", "v")),
              "FontSize\xB0" "12\xA6Voice\xB0v");
}

TEST_F(PreferencesTest, DefaultsLoseTrailingBlanksOnlyWhenTheFileIsRead) {
    const std::string file = users + "/JSMITH/JSMITHVantorelSettings.vts";
    EXPECT_EQ(ReadPreferenceValue(file, "General", "Missing", "dflt  "), "dflt");
    EXPECT_EQ(ReadPreferenceValue(file, "Missing", "Key", "  d \t "), "  d \t");
    // Nothing left after the blanks: the request's default as it came.
    EXPECT_EQ(ReadPreferenceValue(file, "General", "Missing", "   "), "   ");
    EXPECT_EQ(ReadPreferenceValue(file, "General", "Empty", "e  "), "e  ");
    // A missing file is never opened: the default as it came.
    EXPECT_EQ(ReadPreferenceValue(users + "/none.vts", "General", "FontSize", "dflt  "), "dflt  ");
}

TEST_F(PreferencesTest, ValuesAreCutAt260Bytes) {
    std::string long300(300, 'v');
    WritePreferences(users, "jsmith", "", Item("Notes", "General", long300));
    EXPECT_EQ(ReadPreferences(users, "JSMITH", "", Item("Notes", "General", "")), "Notes\xB0" + long300.substr(0, 260));
    EXPECT_NE(ReadFile(users + "/JSMITH/JSMITHVantorelSettings.vts").find(long300), std::string::npos);
}

TEST_F(PreferencesTest, WritesCreateReplaceAndKeepEmptyValues) {
    WritePreferences(users, "jsmith", "", Item("FontSize", "GENERAL", "14"));
    WritePreferences(users, "jsmith", "", Item("Voice", "Sounds", ""));
    EXPECT_EQ(ReadFile(users + "/JSMITH/JSMITHVantorelSettings.vts"),
              "[General]\r\nFontSize=14\r\nEmpty=\r\n[Sounds]\r\nVoice=\r\n");

    WritePreferences(users, "", "ToolbarSet_Math.vts", Item("Button1", "Toolbar", "Speak"));
    EXPECT_EQ(ReadFile(users + "/ToolbarSet_Math.vts"), "[Toolbar]\r\nButton1=Speak\r\n");
    WritePreferences(users, "", "jsmith\\jsmithVantorelSettings.vts", Item("FontSize", "General", "16"));
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("FontSize", "General", "")), "FontSize\xB0" "16");

    // An unknown account has no folder: nothing is written, nowhere.
    WritePreferences(users, "nobody", "", Item("FontSize", "General", "14"));
    EXPECT_FALSE(PathExists(users + "/nobody"));
}

TEST_F(PreferencesTest, ReadOnlyFilesAreMadeWritableByTheFirstWrite) {
    const std::string file = users + vserver::test::NativePath("/JSMITH/JSMITHVantorelSettings.vts");
    vserver::test::RemoveWritePermission(file);
    WritePreferences(users, "jsmith", "", Item("FontSize", "General", "20"));
    EXPECT_TRUE(vserver::test::IsWritable(file));
    EXPECT_EQ(ReadPreferences(users, "jsmith", "", Item("FontSize", "General", "")), "FontSize\xB0" "20");
}

TEST_F(PreferencesTest, NothingOutsideTheUsersFolderIsReadOrWritten) {
    WriteFile(root / "secret.vts", "[S]\r\nK=secret\r\n");
    for (std::string file : {"..\\secret.vts", "../secret.vts", "JSMITH\\..\\..\\secret.vts"}) {
        EXPECT_EQ(ReadPreferences(users, "jsmith", file, Item("K", "S", "default")), "K\xB0" "default") << file;
        WritePreferences(users, "jsmith", file, Item("K", "S", "changed"));
    }
    EXPECT_EQ(ReadPreferences(users, "..", "", Item("K", "S", "default")), "K\xB0" "default");
    WritePreferences(users, "..\\..", "", Item("K", "S", "changed"));
    EXPECT_EQ(ReadFile(root / "secret.vts"), "[S]\r\nK=secret\r\n");
    EXPECT_TRUE(log.Contains("Preference file outside the user directory refused: " + users + vserver::test::NativePath("/../secret.vts")));

    // An absolute name is taken below the users folder, never from the root.
    EXPECT_EQ(ReadPreferences(users, "jsmith", "/etc/passwd", Item("root", "x", "d")), "root\xB0" "d");
    WritePreferences(users, "jsmith", "\\etc\\passwd", Item("K", "S", "v"));
    EXPECT_FALSE(PathExists(users + vserver::test::NativePath("/etc")));
    EXPECT_TRUE(PreferenceFilePath(users, "x", "/JSMITH/a.vts").has_value());
}

TEST_F(PreferencesTest, ItemsThatWouldAddLinesAreNotWritten) {
    const std::string file = users + "/JSMITH/JSMITHVantorelSettings.vts";
    const std::string before = ReadFile(file);
    WritePreferences(users, "jsmith", "", Item("FontSize", "General", "1\r\n[Evil]\r\nX=1"));
    WritePreferences(users, "jsmith", "", Item("A=B", "General", "1"));
    WritePreferences(users, "jsmith", "", Item("K", "Gen]eral", "1"));
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(log.CountMentioning(users), 3u);

    // Names no directory search could find again are not created.
    WritePreferences(users, "", "*.vts", Item("K", "S", "v"));
    WritePreferences(users, "j?", "", Item("K", "S", "v"));
    EXPECT_EQ(vserver::test::Names(users), std::vector<std::string>{"JSMITH"});
}

} // namespace
} // namespace vserver::accounts
