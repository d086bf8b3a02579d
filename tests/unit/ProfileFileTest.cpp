#include <gtest/gtest.h>

#include "LogCapture.h"
#include "formats/ProfileFile.h"
#include "platform/common/ProfileFileIo.h"

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

std::string Utf16File(std::string_view text) { return std::string(kUtf16LeMark) + CodePageToUtf16Le(text); }

TEST(ProfileFile, EachFileReadsAsThePlatformsReaderReadsIt) {
    using namespace std::string_literals;
    const struct {
        const char* rule;
        std::string file;
        const char* section;
        const char* key;
        std::optional<std::string> value;
    } cases[] = {
        {"a CR alone ends a line", "[S]\rk=a\rb=c\r\n", "S", "k", "a"},
        {"  and the line after it is a key", "[S]\rk=a\rb=c\r\n", "S", "b", "c"},
        {"CR LF, LF and CR mixed", "[S]\r\nx=1\ny=2\rz=3", "s", "Z", "3"},
        {"a NUL ends a value", "[S]\r\nk=ab\0cd\r\n"s, "S", "k", "ab"},
        {"  also inside quotes", "[S]\r\nk=\"ab\0cd\"\r\n"s, "S", "k", "ab"},
        {"  and a NUL first leaves it empty", "[S]\r\nk=\0cd\r\n"s, "S", "k", ""},
        {"a blank section name is []", "[A]\r\nk=1\r\n[]\r\nk=2\r\n", " ", "k", "2"},
        {"  also [ ]", "[ ]\r\nk=2\r\n", "", "k", "2"},
        {"  but not the lines before the first section", "k=0\r\n[S]\r\nk=1\r\n", "", "k", std::nullopt},
        {"a UTF-8 byte order mark is part of the first line", "\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", std::nullopt},
        {"  and the sections after it read as usual", "\xEF\xBB\xBF[S]\r\n[T]\r\nk=1\r\n", "T", "k", "1"},
        {"the first of two equal keys counts", "[S]\nk=1\nK=2\n", "S", "k", "1"},
        {"the first of two equal sections counts", "[S]\nk=1\n[s]\nk=2\nj=3\n", "S", "j", std::nullopt},
        {"blanks around names and values, one pair of quotes", "[ S ]\n  k  =  ' a '  \n", "S", "k", " a "},
        {"a comment is no key", "[S]\n;k=1\n", "S", ";k", std::nullopt},
        {"UTF-16LE reads as 8-bit text", Utf16File("[S]\r\nk=caf\xE9 \x80\r\n"), "S", "k", "caf\xE9 \x80"},
        {"  a character without an 8-bit form reads as ?",
         std::string(kUtf16LeMark) + CodePageToUtf16Le("[S]\r\nk=a") + "\xA9\x03"s + CodePageToUtf16Le("b\r\n"),
         "S", "k", "a?b"},
        {"  with CR alone too", Utf16File("[S]\rk=1\rj=2"), "S", "j", "2"},
        {"FF FE after the start is no mark", "x\xFF\xFE\r\n[S]\r\nk=1\r\n", "S", "k", "1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProfileFile(c.file).Find(c.section, c.key), c.value) << c.rule;
    }
}

TEST(ProfileFile, WritesUpdateTheLineTheReaderSeesInTheFilesOwnLineEnds) {
    ProfileFile crOnly("[S]\rk=a\rb=c\r");
    crOnly.Set("S", "b", "z");
    crOnly.Set("S", "n", "1");
    crOnly.Set("T", "x", "2");
    EXPECT_EQ(crOnly.bytes(), "[S]\rk=a\rb=z\rn=1\r[T]\rx=2\r");

    ProfileFile lfOnly("[S]\nk=a");
    lfOnly.Set("s", "j", "1");
    lfOnly.Set("", "k", "blank");
    EXPECT_EQ(lfOnly.bytes(), "[S]\nk=a\nj=1\n[]\nk=blank\n");
    EXPECT_EQ(lfOnly.Find(" ", "K"), "blank");

    // A value cut by a NUL is replaced whole.
    ProfileFile withNul(std::string("[S]\r\nk=ab\0cd\r\n", 14));
    withNul.Set("S", "k", "x");
    EXPECT_EQ(withNul.bytes(), "[S]\r\nk=x\r\n");
}

TEST(ProfileFile, AUtf16FileStaysUtf16AndKeepsWhatIsNotWritten) {
    const std::string greek = "\xA9\x03";
    const std::string file = std::string(kUtf16LeMark) + CodePageToUtf16Le("[S]\r\nname=") + greek +
                             CodePageToUtf16Le("\r\nk=1\r\n");
    ProfileFile profile(file);
    profile.Set("S", "k", "caf\xE9");
    profile.Set("S", "new", "2");
    profile.Set("T", "x", "3");
    EXPECT_EQ(profile.bytes(), std::string(kUtf16LeMark) + CodePageToUtf16Le("[S]\r\nname=") + greek +
                                   CodePageToUtf16Le("\r\nk=caf\xE9\r\nnew=2\r\n[T]\r\nx=3\r\n"));
    EXPECT_EQ(profile.Find("S", "name"), "?");
    EXPECT_EQ(profile.Find("S", "k"), "caf\xE9");

    // A lone last byte belongs to no character and stays last.
    ProfileFile odd(std::string(kUtf16LeMark) + CodePageToUtf16Le("[S]\r\n") + "x");
    odd.Set("S", "k", "v");
    EXPECT_EQ(odd.bytes(), std::string(kUtf16LeMark) + CodePageToUtf16Le("[S]\r\nk=v\r\n") + "x");
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
