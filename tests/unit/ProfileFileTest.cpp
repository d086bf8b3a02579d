#include <gtest/gtest.h>

#include "LogCapture.h"
#include "platform/ProfileFile.h"

namespace vserver::platform {
namespace {

using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// A file as other programs leave them: comments, blank lines, blanks around names and "=",
// mixed line ends and no line end after the last line.
const std::string kUsersFile =
    "; written by hand\r\n"
    "\r\n"
    "  [ General ]  \r\n"
    "FontSize = 12\r\n"
    "Voice=\"  Default \"\n"
    "Empty=\r\n"
    "Quoted='x'\r\n"
    "\r\n"
    "[Reading]\r\n"
    "Speed=3\r\n"
    "speed=9\r\n"
    "[general]\r\n"
    "FontSize=99";

TEST(ProfileFile, ReadsTheWayUsersFilesWereWritten) {
    ProfileFile file(kUsersFile);
    EXPECT_EQ(file.Find("general", "fontsize"), "12");
    EXPECT_EQ(file.Find("GENERAL", "Voice"), "  Default ");
    EXPECT_EQ(file.Find("General", "Quoted"), "x");
    EXPECT_EQ(file.Find("General", "Empty"), "");
    EXPECT_EQ(file.Find("Reading", "SPEED"), "3");   // the first of two equal keys
    EXPECT_EQ(file.Find("General", "Speed"), std::nullopt);
    EXPECT_EQ(file.Find("Missing", "FontSize"), std::nullopt);
    EXPECT_EQ(file.Find("General", "written by hand"), std::nullopt);
}

TEST(ProfileFile, ReplacingAValueKeepsEveryOtherByte) {
    ProfileFile file(kUsersFile);
    file.Set("GENERAL", "fontsize", "14");
    std::string expected = kUsersFile;
    expected.replace(expected.find("FontSize = 12"), 13, "FontSize = 14");
    EXPECT_EQ(file.text(), expected);

    file.Set("general", "voice", "");
    EXPECT_NE(file.text().find("Voice=\n"), std::string::npos);  // the LF-only line keeps its end
    EXPECT_EQ(file.Find("General", "Voice"), "");

    // Blanks around the names a client sends are ignored too: the same key, not a new copy.
    std::string before = file.text();
    file.Set(" General\t", " FontSize ", "16");
    EXPECT_EQ(file.text().size(), before.size());
    EXPECT_EQ(file.Find("general ", " fontsize"), "16");
}

TEST(ProfileFile, AddsKeysAfterTheSectionsLastLineAndNewSectionsAtTheEnd) {
    ProfileFile file(kUsersFile);
    file.Set("general", "Theme", "Dark");
    EXPECT_NE(file.text().find("Quoted='x'\r\nTheme=Dark\r\n\r\n[Reading]"), std::string::npos);

    file.Set("Sounds", "Volume", "7");
    const std::string tail = "FontSize=99\r\n[Sounds]\r\nVolume=7\r\n";
    EXPECT_EQ(file.text().substr(file.text().size() - tail.size()), tail);
    EXPECT_EQ(file.Find("sounds", "volume"), "7");
    EXPECT_EQ(file.Find("General", "FontSize"), "12");  // the second [general] is never written

    ProfileFile headerOnly("[A]");
    headerOnly.Set("a", "k", "v");
    EXPECT_EQ(headerOnly.text(), "[A]\r\nk=v\r\n");
}

TEST(ProfileFile, FileLevelReadAndWrite) {
    TempFolder root;
    std::optional<std::string> value;
    ASSERT_TRUE(ReadProfileValue(root / "missing.vts", "S", "K", value).ok());
    EXPECT_FALSE(value.has_value());

    ASSERT_TRUE(WriteProfileValue(root / "new.vts", "S", "K", "v").ok());
    EXPECT_EQ(ReadFile(root / "new.vts"), "[S]\r\nK=v\r\n");

    WriteFile(root / "Users.vts", kUsersFile);
    std::string long300(300, 'x');
    ASSERT_TRUE(WriteProfileValue(root / "USERS.VTS", "Reading", "Notes", long300).ok());
    ASSERT_TRUE(ReadProfileValue(root / "users.vts", "reading", "notes", value).ok());
    EXPECT_EQ(value, long300);
    std::string text = ReadFile(root / "Users.vts");
    EXPECT_EQ(text.substr(0, 120), kUsersFile.substr(0, 120));
    EXPECT_FALSE(WriteProfileValue(root / "nofolder/x.vts", "S", "K", "v").ok());
}

} // namespace
} // namespace vserver::platform
