#include "formats/RegistryFile.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vserver::platform {
namespace {

constexpr const char* kServer = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server";
constexpr const char* kOptions = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";

TEST(RegistryFileParse, ReadsStringsDefaultValuesAndEscapes) {
    const RegistryFile reg = RegistryFile::Parse(
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"
        "@=\"the default\"\r\n"
        "\"MasterPath\"=\"C:\\\\Data\\\\ \\\"quoted\\\"\"\r\n"
        "\"odd \\\"name\\\"\"=\"x\"\r\n"
        "\"Lone\"=\"a\\b\"\r\n"
        "\"Empty\"=\"\"\r\n");

    EXPECT_EQ(reg.ReadString(kServer, ""), "the default");
    EXPECT_EQ(reg.ReadString(kServer, "MasterPath"), "C:\\Data\\ \"quoted\"");
    EXPECT_EQ(reg.ReadString(kServer, "odd \"name\""), "x");
    // A backslash before anything but a backslash or quote is an ordinary character.
    EXPECT_EQ(reg.ReadString(kServer, "Lone"), "a\\b");
    EXPECT_EQ(reg.ReadString(kServer, "Empty"), "");
    EXPECT_EQ(reg.ReadString(kServer, "Missing"), std::nullopt);
    EXPECT_EQ(reg.ReadString(kOptions, "MasterPath"), std::nullopt);
}

TEST(RegistryFileParse, AcceptsLineFeedsCommentsBlanksAndTheNewerHeader) {
    std::vector<std::string> problems;
    const RegistryFile reg = RegistryFile::Parse(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
        "; written by hand\n"
        "\n"
        "  [HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\\]  \n"
        "\t\"A\" = \"1\"  ; trailing comment\n"
        "\n",
        &problems);

    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(reg.ReadString(kOptions, "A"), "1");
}

TEST(RegistryFileParse, MatchesNamesWithoutCaseAndKeepsTheStoredSpelling) {
    RegistryFile reg = RegistryFile::Parse(
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\qora\\Vantorel Server\\Options]\r\n"
        "\"AllowAccountCreation\"=\"False\"\r\n");

    EXPECT_EQ(reg.ReadString(kOptions, "allowaccountcreation"), "False");
    // Names hold 8-bit text of the Western code page, and its accented letters have a case too.
    reg.WriteString(kOptions, "Gr\xC4\xDF" "e", "1");
    EXPECT_EQ(reg.ReadString(kOptions, "gr\xE4\xDF" "E"), "1");
    reg.DeleteValue(kOptions, "GR\xC4\xDF" "E");
    reg.WriteString(kOptions, "ALLOWACCOUNTCREATION", "True");

    EXPECT_EQ(reg.text(),
              "REGEDIT4\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\qora\\Vantorel Server\\Options]\r\n"
              "\"AllowAccountCreation\"=\"True\"\r\n");
}

TEST(RegistryFileParse, MergesARepeatedKeyWithTheLaterValueWinning) {
    const RegistryFile reg = RegistryFile::Parse(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\n\"A\"=\"first\"\n\"B\"=\"kept\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n\"MasterPath\"=\"/srv\"\n"
        "[hkey_local_machine\\software\\qora\\vantorel server\\options]\n\"a\"=\"second\"\n");

    ASSERT_EQ(reg.keys().size(), 2u);
    const RegistryFile::Key* options = reg.FindKey(kOptions);
    ASSERT_NE(options, nullptr);
    ASSERT_EQ(options->values.size(), 2u);
    EXPECT_EQ(options->values[0].name, "A");
    EXPECT_EQ(options->values[0].data, "second");
    EXPECT_EQ(reg.ReadString(kOptions, "B"), "kept");
}

TEST(RegistryFileParse, ReadsExpandableStringsAndKeepsOtherTypesAsNotAString) {
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"
        "\"PortNumber\"=dword:000003ee\r\n"
        "\"Path\"=hex(2):25,41,25,\\\r\n"
        "  42,00\r\n"
        "\"List\"=hex(7):41,00,00\r\n"
        "@=hex:01,02\r\n";
    const RegistryFile reg = RegistryFile::Parse(text);
    const char* connection = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection";

    EXPECT_EQ(reg.ReadString(connection, "PortNumber"), std::nullopt);
    EXPECT_EQ(reg.ReadString(connection, ""), std::nullopt);
    EXPECT_EQ(reg.ReadString(connection, "List"), std::nullopt);
    // An expandable string is a string, returned as stored: nothing is expanded.
    EXPECT_EQ(reg.ReadString(connection, "Path"), "%A%B");
    const RegistryFile::Key* key = reg.FindKey(connection);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 4u);
    EXPECT_FALSE(key->values[0].isString);
    EXPECT_EQ(key->values[0].data, "dword:000003ee");
}

TEST(RegistryFileParse, ReportsUnreadableLinesAndKeepsEverythingReadable) {
    std::vector<std::string> problems;
    const RegistryFile reg = RegistryFile::Parse(
        "\"Orphan\"=\"no key yet\"\n"                                   // line 1, also no header
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n"
        "\"MasterPath\"=\"/srv/vantorel\"\n"
        "garbage\n"                                                     // line 4
        "\"Unclosed=\"x\"\n"                                            // line 5
        "\"PortNumber\"=1006\n"                                         // line 6
        "\"Tail\"=\"x\" y\n"                                            // line 7
        "[HKEY_LOCAL_MACHINE\\Broken\n"                                 // line 8
        "\"Lost\"=\"below a broken key\"\n"
        "[Software\\NoRoot]\n"                                          // line 10
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\n"
        "\"Good\"=\"yes\"\n",
        &problems);

    ASSERT_EQ(problems.size(), 8u);
    EXPECT_EQ(problems[0].rfind("line 1: missing \"REGEDIT4\" header", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1].rfind("line 1: value outside a key", 0), 0u) << problems[1];
    EXPECT_EQ(problems[2].rfind("line 4: ", 0), 0u) << problems[2];
    EXPECT_EQ(problems[3].rfind("line 5: ", 0), 0u) << problems[3];
    EXPECT_EQ(problems[4].rfind("line 6: ", 0), 0u) << problems[4];
    EXPECT_EQ(problems[5].rfind("line 7: ", 0), 0u) << problems[5];
    EXPECT_EQ(problems[6].rfind("line 8: ", 0), 0u) << problems[6];
    EXPECT_EQ(problems[7].rfind("line 10: ", 0), 0u) << problems[7];

    EXPECT_EQ(reg.ReadString(kServer, "MasterPath"), "/srv/vantorel");
    EXPECT_EQ(reg.ReadString(kOptions, "Good"), "yes");
    EXPECT_EQ(reg.ReadString(kServer, "PortNumber"), std::nullopt);
    EXPECT_EQ(reg.keys().size(), 2u);
}

TEST(RegistryFileParse, RefusesBigEndianUtf16Text) {
    std::vector<std::string> problems;
    const RegistryFile reg = RegistryFile::Parse(std::string_view("\xFE\xFF\0W\0i", 6), &problems);
    EXPECT_EQ(problems.size(), 1u);
    EXPECT_TRUE(reg.keys().empty());
}

TEST(RegistryFileParse, AppliesTheRemovalForms) {
    const RegistryFile reg = RegistryFile::Parse(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\\Sub]\n\"S\"=\"1\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n\"A\"=\"1\"\n\"B\"=\"2\"\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\n\"Ignored\"=\"x\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n\"a\"=-\n");

    EXPECT_FALSE(reg.HasKey(kOptions));
    EXPECT_EQ(reg.ReadString(kServer, "A"), std::nullopt);
    EXPECT_EQ(reg.ReadString(kServer, "B"), "2");
}

TEST(RegistryFileEdit, SerializesWithCrLfAndReadsItBack) {
    RegistryFile reg;
    reg.WriteString(kOptions, "Note", "say \"hi\" \\ bye");
    reg.WriteString(kOptions, "", "default");

    const std::string text = reg.bytes();
    EXPECT_TRUE(reg.HasKey(kServer));
    EXPECT_EQ(text,
              "REGEDIT4\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
              "\"Note\"=\"say \\\"hi\\\" \\\\ bye\"\r\n"
              "@=\"default\"\r\n\r\n");
    std::vector<std::string> problems;
    const RegistryFile back = RegistryFile::Parse(text, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(back.ReadString(kOptions, "Note"), "say \"hi\" \\ bye");
    EXPECT_EQ(back.ReadString(kOptions, ""), "default");
}

TEST(RegistryFileEdit, StringsWithLineBreaksSurviveTheFile) {
    RegistryFile reg;
    const std::string text = "first line\r\nsecond line, long enough to wrap the hex form\n";
    reg.WriteString(kOptions, "Message", text);
    reg.WriteString(kOptions, "Bad\nName", "x");

    const std::string file = reg.bytes();
    EXPECT_EQ(file.find("Bad"), std::string::npos);
    std::vector<std::string> problems;
    const RegistryFile back = RegistryFile::Parse(file, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(back.ReadString(kOptions, "Message"), text);
}

TEST(RegistryFileEdit, KeysExistWithTheirSubkeysAndGoAsATree) {
    RegistryFile reg = RegistryFile::Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\\Deep]\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\OptionsX]\n\"K\"=\"v\"\n");

    EXPECT_TRUE(reg.HasKey(kServer));
    EXPECT_TRUE(reg.HasKey(kOptions));
    EXPECT_EQ(reg.FindKey(kOptions), nullptr);
    EXPECT_FALSE(reg.HasKey("HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel"));

    EXPECT_TRUE(reg.DeleteKeyTree(kOptions));
    EXPECT_FALSE(reg.HasKey(kOptions));
    EXPECT_EQ(reg.ReadString("HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\OptionsX", "K"), "v");
    EXPECT_FALSE(reg.DeleteKeyTree(kOptions));

    EXPECT_TRUE(reg.DeleteValue("HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\OptionsX", "k"));
    EXPECT_FALSE(reg.DeleteValue("HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\OptionsX", "k"));
}

// A file as a person leaves it: comments of both kinds, blank lines, blanks around "=", LF
// line ends, a key given twice, a type the server does not read.
const std::string kHandWritten =
    "REGEDIT4\n"
    "; settings of the reading room\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n"
    "\"MasterPath\" = \"/srv/vantorel\"   ; moved in May\n"
    "# the port is fixed by the firewall\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\n"
    "\"A\"=\"1\"\n"
    "\"Raw\"=hex(7):41,00,\\\n"
    "  00\n"
    "\n"
    "; later additions\n"
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\n"
    "\"a\"=\"2\"\n"
    "\"B\"=\"3\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\\Sub]\n"
    "\"S\"=\"x\"\n";

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(RegistryFileEdit, ChangesOnlyTheLinesOfTheValuesItSets) {
    std::vector<std::string> problems;
    RegistryFile reg = RegistryFile::Parse(kHandWritten, &problems);
    ASSERT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(reg.ReadString(kOptions, "A"), "2");

    // The line that counts (the later one) is rewritten in place, in the name's first spelling.
    reg.WriteString(kOptions, "a", "9");
    std::string expected = Replaced(kHandWritten, "\"a\"=\"2\"\n", "\"A\"=\"9\"\n");
    EXPECT_EQ(reg.bytes(), expected);

    // A new value follows the last value of the key's last block; a new key ends the file,
    // set apart by a blank line, in the file's own line ends.
    reg.WriteString(kOptions, "C", "new");
    expected = Replaced(expected, "\"B\"=\"3\"\n", "\"B\"=\"3\"\n\"C\"=\"new\"\n");
    reg.WriteString("HKEY_CLASSES_ROOT\\AppID", "", "x");
    expected += "\n[HKEY_CLASSES_ROOT\\AppID]\n@=\"x\"\n\n";
    EXPECT_EQ(reg.bytes(), expected);

    // A deleted value loses every line that set it; a deleted key tree loses its blocks.
    EXPECT_TRUE(reg.DeleteValue(kOptions, "A"));
    expected = Replaced(Replaced(expected, "\"A\"=\"1\"\n", ""), "\"A\"=\"9\"\n", "");
    EXPECT_EQ(reg.bytes(), expected);
    EXPECT_EQ(reg.ReadString(kOptions, "A"), std::nullopt);
    EXPECT_TRUE(reg.DeleteKeyTree("HKEY_CLASSES_ROOT\\AppID"));
    EXPECT_TRUE(reg.DeleteKeyTree(kOptions));
    EXPECT_EQ(reg.bytes(),
              "REGEDIT4\n"
              "; settings of the reading room\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\n"
              "\"MasterPath\" = \"/srv/vantorel\"   ; moved in May\n"
              "# the port is fixed by the firewall\n"
              "\n"
              "; later additions\n");
}

TEST(RegistryFileEdit, AddsAHeaderAndLineEndsWhereTheFileHasNone) {
    RegistryFile commentsOnly = RegistryFile::Parse("; nothing yet");
    commentsOnly.WriteString(kOptions, "A", "1");
    EXPECT_EQ(commentsOnly.bytes(), "; nothing yet\r\nREGEDIT4\r\n\r\n" + std::string("[") + kOptions +
                                        "]\r\n\"A\"=\"1\"\r\n\r\n");

    RegistryFile noFinalLineEnd = RegistryFile::Parse(std::string("REGEDIT4\r\n[") + kOptions + "]\r\n\"A\"=\"1\"");
    noFinalLineEnd.WriteString(kOptions, "B", "2");
    EXPECT_EQ(noFinalLineEnd.bytes(), std::string("REGEDIT4\r\n[") + kOptions + "]\r\n\"A\"=\"1\"\r\n\"B\"=\"2\"\r\n");
}

std::string Utf16(std::string_view ascii) { return CodePageToUtf16Le(ascii); }

TEST(RegistryFileEdit, AVersion5FileIsReadAndStaysUtf16) {
    // What the registry editor exports: UTF-16LE with its byte order mark, a Greek letter
    // (no 8-bit form), an expandable string whose data are UTF-16LE.
    std::string file = std::string(kUtf16LeMark) +
                       Utf16("Windows Registry Editor Version 5.00\r\n\r\n[") + Utf16(kOptions) +
                       Utf16("]\r\n\"Greek\"=\"") + std::string("\xA9\x03", 2) + Utf16("\"\r\n") +
                       Utf16("\"Caf\xE9\"=\"cr\xE8me\"\r\n") +
                       Utf16("\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n\r\n");
    std::vector<std::string> problems;
    RegistryFile reg = RegistryFile::Parse(file, &problems);
    ASSERT_TRUE(problems.empty()) << problems.front();
    EXPECT_TRUE(reg.version5());
    EXPECT_EQ(reg.ReadString(kOptions, "Greek"), "?");
    EXPECT_EQ(reg.ReadString(kOptions, "caf\xC9"), "cr\xE8me");
    EXPECT_EQ(reg.ReadString(kOptions, "Path"), "%A%");

    reg.WriteString(kOptions, "Caf\xE9", "\x80uro");
    reg.WriteString(kOptions, "Note", "two\r\nlines");
    const std::string& written = reg.bytes();
    ASSERT_EQ(written.substr(0, 2), kUtf16LeMark);
    ASSERT_EQ(written.size() % 2, 0u);
    // The Greek letter is not touched by writes of other values.
    EXPECT_NE(written.find(std::string("\xA9\x03", 2)), std::string::npos);
    const std::string expectedLine = Utf16("\"Caf\xE9\"=\"") + std::string("\xAC\x20", 2) + Utf16("uro\"\r\n");
    EXPECT_NE(written.find(expectedLine), std::string::npos);

    const RegistryFile again = RegistryFile::Parse(written, &problems);
    ASSERT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(again.ReadString(kOptions, "Note"), "two\r\nlines");
    EXPECT_EQ(again.ReadString(kOptions, "Caf\xE9"), "\x80uro");
    EXPECT_EQ(again.ReadString(kOptions, "Path"), "%A%");
}

// Everything a parsed file holds, positions included, so that a copy changed in place can be
// compared with the same text read anew.
std::string Structure(const RegistryFile& reg) {
    std::string out;
    auto span = [&out](const RegistryFile::Lines& l) {
        out += " [" + std::to_string(l.begin) + "," + std::to_string(l.end) + "," + std::to_string(l.next) + ")";
    };
    for (const RegistryFile::Key& key : reg.keys()) {
        out += "key " + key.path;
        for (const auto& block : key.blocks) span(block);
        out += "\n";
        for (const RegistryFile::Value& value : key.values) {
            out += "  " + value.name + "=" + value.data + (value.isString ? "" : " (raw)");
            for (const auto& line : value.lines) span(line);
            out += "\n";
        }
    }
    return out;
}

// A value set in place moves the positions behind it instead of reading the file again; the
// result must be what reading the edited text gives, whatever the file looks like.
TEST(RegistryFileEdit, SettingAValueLeavesWhatReadingTheEditedFileGives) {
    const std::string noFinalLineEnd = std::string("REGEDIT4\r\n[") + kOptions + "]\r\n\"A\"=\"1\"";
    const std::string utf16 = std::string(kUtf16LeMark) + CodePageToUtf16Le(std::string(
        "Windows Registry Editor Version 5.00\r\n\r\n[") + kOptions + "]\r\n\"A\"=\"1\"\r\n\"B\"=\"caf\xE9\"\r\n\r\n[" +
        kServer + "]\r\n\"MasterPath\"=\"x\"\r\n");
    struct Edit {
        const char* key;
        const char* name;
        const char* text;
    };
    const Edit edits[] = {
        {kOptions, "a", "a longer value than before"},   // the later of two lines, in another block
        {kOptions, "A", ""},                             // shorter again
        {kOptions, "Raw", "was hex on two lines"},       // replaces a value with a continuation line
        {kOptions, "New", "say \"hi\" \\ bye"},          // added after the key's last value
        {kOptions, "Lines", "one\r\ntwo"},               // written in hexadecimal form
        {kServer, "MasterPath", "/srv/other"},           // a value before the edited ones
        {"HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\\Sub", "T", "y"},
        {"HKEY_CLASSES_ROOT\\AppID", "", "a new key"},
        {kOptions, "B", "\x80"},
    };
    for (const std::string& file : {kHandWritten, noFinalLineEnd, utf16}) {
        RegistryFile reg = RegistryFile::Parse(file);
        for (const Edit& edit : edits) {
            const std::string expected = reg.BytesWithString(edit.key, edit.name, edit.text);
            reg.WriteString(edit.key, edit.name, edit.text);
            ASSERT_EQ(reg.bytes(), expected) << edit.name;
            const RegistryFile reread = RegistryFile::Parse(reg.bytes());
            ASSERT_EQ(Structure(reg), Structure(reread)) << "after setting " << edit.name << " in\n" << reg.text();
            EXPECT_EQ(reg.ReadString(edit.key, edit.name), edit.text);
        }
        // Positions that moved are still right for a removal.
        EXPECT_TRUE(reg.DeleteValue(kOptions, "New"));
        EXPECT_EQ(Structure(reg), Structure(RegistryFile::Parse(reg.bytes())));
    }
}

// What the access rules rely on: a line that cannot be read leaves in doubt the key it may
// belong to, and only that key when it is a value line of a key that was read.
TEST(RegistryFileParse, DoubtsNameTheLinesThatMayHideAKeysValues) {
    const std::string appId = "HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE";
    const std::string head = "REGEDIT4\r\n\r\n[" + appId + "]\r\n\"AppID\"=\"x\"\r\n";
    const std::string options = std::string("[") + kOptions + "]\r\n\"ConsoleAddresses\"=\"10.0.0.1\"\r\n";

    EXPECT_EQ(RegistryFile::Parse(head + options).DoubtAbout(kOptions), std::nullopt);
    const RegistryFile unclosed = RegistryFile::Parse(head + std::string("[") + kOptions + "\r\n\"A\"=\"1\"\r\n");
    EXPECT_EQ(unclosed.DoubtAbout(kOptions).value_or(""),
              std::string("line 5: key without closing bracket; its values are skipped: [") + kOptions);
    EXPECT_EQ(unclosed.DoubtAbout(kServer), unclosed.DoubtAbout(kOptions)) << "it may have been any key";

    // A broken value line of another key says nothing about Options; one of Options does.
    const RegistryFile elsewhere = RegistryFile::Parse(head + "\"Broken=\"x\"\r\n" + options);
    EXPECT_EQ(elsewhere.DoubtAbout(kOptions), std::nullopt);
    EXPECT_NE(elsewhere.DoubtAbout(appId), std::nullopt);
    const RegistryFile inside = RegistryFile::Parse(head + options + "\"MaxConnectionsPerAddress\"=5\r\n");
    EXPECT_EQ(inside.DoubtAbout(kOptions).value_or("").rfind("line 7: ", 0), 0u);
    // A line that is neither may be a key line without its bracket, whatever key it stands in.
    EXPECT_NE(RegistryFile::Parse(head + "HKEY_LOCAL_MACHINE\\x]\r\n" + options).DoubtAbout(kOptions), std::nullopt);

    // A file with no line of its own is what an editor leaves for an instant while it saves.
    EXPECT_EQ(RegistryFile::Parse("").DoubtAbout(kOptions), "the file is empty");
    EXPECT_EQ(RegistryFile::Parse("; a comment\r\n\r\n").DoubtAbout(kOptions),
              "the file holds only blank lines and comments");
    EXPECT_NE(RegistryFile::Parse(options).DoubtAbout(kOptions), std::nullopt) << "no header";
}

// What decides whether a copy may be written back: a line that could not be read, or a file
// that changed under its reader, which leaves every key in doubt.
TEST(RegistryFileParse, TellsWhatStandsInTheWayOfWritingACopyBack) {
    const std::string options = std::string("REGEDIT4\r\n[") + kOptions + "]\r\n\"A\"=\"1\"\r\n";
    RegistryFile whole = RegistryFile::Parse(options);
    EXPECT_FALSE(whole.hasUnreadableLines());
    EXPECT_FALSE(whole.changedWhileRead());
    EXPECT_TRUE(RegistryFile::Parse(options + "\"Broken=\"x\"\r\n").hasUnreadableLines());

    whole.MarkChangedWhileRead();
    EXPECT_TRUE(whole.changedWhileRead());
    EXPECT_EQ(whole.DoubtAbout(kServer), "the file changed while it was read");
    EXPECT_EQ(whole.ReadString(kOptions, "A"), "1") << "what was read stays readable";
}

} // namespace
} // namespace vserver::platform
