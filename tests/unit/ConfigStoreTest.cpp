#include "settings/ConfigStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "LogCapture.h"
#include "platform/ProcessInfo.h"

namespace vserver::settings {
namespace {

namespace fs = std::filesystem;

using vserver::test::LogCapture;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

const std::string kHeader = "REGEDIT4\r\n\r\n";
const std::string kServerBlock = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n";
const std::string kConnectionBlock = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n";
const std::string kOptionsBlock = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n";

class ConfigStoreTest : public ::testing::Test {
protected:
    void WriteRegistry(const std::string& blocks) { WriteFile(path_, kHeader + blocks); }
    std::string Registry() const { return ReadFile(path_); }
    ConfigStore Store() const { return ConfigStore(path_); }
    // Service-log lines since log began that name this test's registry file; other tests may
    // write to the same log meanwhile.
    std::vector<std::string> LinesNamingRegistry(const LogCapture& log) const {
        std::vector<std::string> lines;
        for (std::string& text : log.Texts()) {
            if (text.find(path_) != std::string::npos) lines.push_back(std::move(text));
        }
        return lines;
    }

    TempFolder folder_;
    std::string path_ = folder_ / "VServerService.reg";
};

TEST_F(ConfigStoreTest, PortNumberIsReadLeniently) {
    const struct {
        const char* stored;
        int port;
    } cases[] = {{"2000", 2000}, {"12ab", 12}, {"letters", 0}, {"  -7", -7}, {"0", 0}};
    for (const auto& c : cases) {
        WriteRegistry(kConnectionBlock + "\"PortNumber\"=\"" + c.stored + "\"\r\n");
        const std::string before = Registry();
        EXPECT_EQ(Store().ReadPortNumber(), c.port) << c.stored;
        EXPECT_EQ(Registry(), before) << "a stored port is never rewritten";
    }
}

// The console reads the port with the same function as the server, so this table is what
// both make of each stored text.
TEST(PortSetting, EveryStoredTextHasOneReadingAndNonPortsAreFlagged) {
    const struct {
        std::string file;
        int number;
        int port;
        bool plain;
        bool stored;
    } cases[] = {
        {"", 1006, 1006, true, false},
        {kConnectionBlock, 1006, 1006, true, false},
        {kConnectionBlock + "\"PortNumber\"=\"\"\r\n", 1006, 1006, true, false},
        {kConnectionBlock + "\"PortNumber\"=\"4242\"\r\n", 4242, 4242, true, true},
        {kConnectionBlock + "\"PortNumber\"=\"65535\"\r\n", 65535, 65535, true, true},
        {kConnectionBlock + "\"PortNumber\"=\"0\"\r\n", 0, 0, true, true},
        {kConnectionBlock + "\"PortNumber\"=\"abc\"\r\n", 0, 0, false, true},
        {kConnectionBlock + "\"PortNumber\"=\" 77abc\"\r\n", 77, 77, false, true},
        {kConnectionBlock + "\"PortNumber\"=\"70000\"\r\n", 70000, 4464, false, true},
        {kConnectionBlock + "\"PortNumber\"=\"-5\"\r\n", -5, 65531, false, true},
        {kConnectionBlock + "\"PortNumber\"=\"99999999999\"\r\n", 2147483647, 65535, false, true},
        {kConnectionBlock + "\"PortNumber\"=\"01006\"\r\n", 1006, 1006, true, true},
        // A value of another type is no string, and the same name under another key is another value.
        {kConnectionBlock + "\"PortNumber\"=dword:00000fa0\r\n", 1006, 1006, true, false},
        {kConnectionBlock + "\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n\"PortNumber\"=\"9\"\r\n", 1006, 1006, true, false},
        // Names match without regard to case; a key given twice merges and the later value wins.
        {"[hkey_local_machine\\software\\qora\\vantorel server\\connection]\n\"portnumber\"=\"1\"\n\n" + kConnectionBlock +
             "\"PortNumber\"=\"2\"\r\n",
         2, 2, true, true},
    };
    for (const auto& c : cases) {
        const PortSetting setting = ReadPortSetting(platform::RegistryFile::Parse(kHeader + c.file));
        EXPECT_EQ(setting.number, c.number) << c.file;
        EXPECT_EQ(setting.port, c.port) << c.file;
        EXPECT_EQ(setting.plain, c.plain) << c.file;
        EXPECT_EQ(setting.stored, c.stored) << c.file;
    }
}

TEST(ServerOptions, EffectiveValuesAreWhatTheServerWorksWith) {
    const ServerOption* flag = FindServerOption("allowaccountcreation");
    ASSERT_NE(flag, nullptr);
    EXPECT_STREQ(flag->name, "AllowAccountCreation");
    EXPECT_EQ(EffectiveOptionValue(*flag, ""), "True");
    EXPECT_EQ(EffectiveOptionValue(*flag, "FALSE"), "False");
    EXPECT_EQ(EffectiveOptionValue(*flag, "yes"), "False");
    const ServerOption* seconds = FindServerOption("LivenessTimeoutSeconds");
    ASSERT_NE(seconds, nullptr);
    EXPECT_EQ(EffectiveOptionValue(*seconds, ""), "10");
    EXPECT_EQ(EffectiveOptionValue(*seconds, "3"), "3");
    EXPECT_EQ(EffectiveOptionValue(*seconds, "-1"), "10");
    EXPECT_EQ(FindServerOption("PortNumber"), nullptr);
    EXPECT_EQ(FindServerOption("AllowAcountCreation"), nullptr);
}

TEST_F(ConfigStoreTest, DefaultPortIsStoredOnlyWhenTheConnectionKeyExists) {
    EXPECT_EQ(Store().ReadPortNumber(), 1006);
    EXPECT_FALSE(fs::exists(path_));

    WriteRegistry(kServerBlock + "\"MasterPath\"=\"/srv\"\r\n");
    const std::string withoutConnection = Registry();
    EXPECT_EQ(Store().ReadPortNumber(), 1006);
    EXPECT_EQ(Registry(), withoutConnection);

    const std::string unusable[] = {"", "\"PortNumber\"=\"\"\r\n", "\"PortNumber\"=dword:000007d0\r\n"};
    for (const std::string& value : unusable) {
        WriteRegistry(kConnectionBlock + value);
        EXPECT_EQ(Store().ReadPortNumber(), 1006) << value;
        const std::string after = Registry();
        EXPECT_NE(after.find("\"PortNumber\"=\"1006\"\r\n"), std::string::npos) << after;
        EXPECT_EQ(after.find("dword"), std::string::npos) << after;
    }
}

TEST_F(ConfigStoreTest, DefaultPortThatCannotBeStoredIsLoggedAndStillUsed) {
    WriteRegistry(kConnectionBlock);
    const std::string before = Registry();
    // A folder where the lock file belongs makes every update fail, for every user.
    fs::create_directory(path_ + ".lock");
    const LogCapture log;

    EXPECT_EQ(Store().ReadPortNumber(), 1006);

    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(LinesNamingRegistry(log).size(), 1u);
}

TEST_F(ConfigStoreTest, BooleanOptionsAreTrueOnlyForTheWordTrue) {
    const struct {
        const char* value;  // nullptr: not stored at all
        bool allowAccountCreation;
    } cases[] = {{nullptr, true}, {"\"\"", true},      {"\"FALSE\"", false}, {"\"TrUe\"", true},
                 {"\" true\"", false}, {"\"yes\"", false}, {"\"1\"", false},   {"dword:00000000", true}};
    for (const auto& c : cases) {
        std::string options = kOptionsBlock;
        if (c.value) options += std::string("\"AllowAccountCreation\"=") + c.value + "\r\n";
        WriteRegistry(options);
        const OptionFlags flags = Store().LoadOptionFlags();
        EXPECT_EQ(flags.allowAccountCreation, c.allowAccountCreation) << (c.value ? c.value : "absent");
        EXPECT_FALSE(flags.logUserStatistics);
    }

    WriteRegistry(kOptionsBlock + "\"LogUserStatistics\"=\"true\"\r\n\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n");
    EXPECT_TRUE(Store().LoadOptionFlags().logUserStatistics);
    EXPECT_TRUE(Store().ReadAllowConsoleRequestsFromAnyConnection());
    WriteRegistry(kOptionsBlock);
    EXPECT_FALSE(Store().ReadAllowConsoleRequestsFromAnyConnection());
}

TEST_F(ConfigStoreTest, OptionsReadTheirDefaultWhenNothingUsableIsStored) {
    EXPECT_EQ(Store().ReadOption("Colour", "blue"), "blue");

    WriteRegistry(kOptionsBlock + "\"Colour\"=\"\"\r\n\"Size\"=dword:00000002\r\n\"Shape\"=\"round\"\r\n");
    EXPECT_EQ(Store().ReadOption("Colour", "blue"), "blue");
    EXPECT_EQ(Store().ReadOption("Size", "big"), "big");
    EXPECT_EQ(Store().ReadOption("SHAPE", "square"), "round");
}

// A path in the system's separators, and the same path as a quoted registry-file string.
std::string N(const std::string& path) { return vserver::test::NativePath(path); }
std::string Quoted(const std::string& path) {
    std::string out;
    for (char c : N(path)) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

TEST_F(ConfigStoreTest, WriteOptionCreatesTheOptionsKey) {
    WriteRegistry(kServerBlock + "\"MasterPath\"=\"" + Quoted("/srv/vantorel") + "\"\r\n");

    EXPECT_TRUE(Store().WriteOption("Colour", "green \"bright\""));
    EXPECT_TRUE(Store().WriteOption("colour", "red"));

    EXPECT_EQ(Store().ReadOption("Colour", ""), "red");
    EXPECT_EQ(Store().ReadMasterPath(), N("/srv/vantorel/"));
    EXPECT_NE(Registry().find(kOptionsBlock + "\"Colour\"=\"red\"\r\n"), std::string::npos);
}

TEST_F(ConfigStoreTest, WriteOptionFailsWhereTheFileCannotBeReplaced) {
    WriteFile(folder_ / "plain", "");
    const ConfigStore store(folder_ / "plain/VServerService.reg");
    EXPECT_FALSE(store.WriteOption("Colour", "green"));
    EXPECT_FALSE(Store().WriteOption("Line\nBreak", "x"));
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(ConfigStoreTest, MasterPathGivesTheUsersFolderWithOrWithoutItsSeparator) {
    for (const char* master : {"/srv/vantorel", "/srv/vantorel/"}) {
        WriteRegistry(kServerBlock + "\"MasterPath\"=\"" + Quoted(master) + "\"\r\n");
        const FolderLayout layout = Store().DerivePaths();
        EXPECT_EQ(layout.usersFolder, N("/srv/vantorel/Users")) << master;
        EXPECT_EQ(layout.statisticsPath, N("/srv/vantorel/Users/EventLog.log")) << master;
    }

    WriteRegistry(kServerBlock + "\"MasterPath\"=\"\"\r\n");
    EXPECT_EQ(Store().ReadMasterPath(), N("/"));
    fs::remove(path_);
    const FolderLayout layout = Store().DerivePaths();
    EXPECT_EQ(layout.usersFolder, N("/Users"));
    EXPECT_EQ(layout.executableFolder, platform::ExecutableFolder());
    EXPECT_EQ(layout.userMessagesPath, layout.executableFolder + "UserMessages.log");
    EXPECT_EQ(layout.forcedToolbarSetsPath, layout.executableFolder + "ForcedToolbarSets.log");
}

TEST_F(ConfigStoreTest, LivenessTimeoutIsTenUnlessAPositiveNumberIsStored) {
    EXPECT_EQ(Store().ReadLivenessTimeoutSeconds(), 10);
    const struct {
        const char* stored;
        int seconds;
    } cases[] = {{"3", 3}, {"", 10}, {"0", 10}, {"-5", 10}, {"soon", 10}, {"2s", 2}};
    for (const auto& c : cases) {
        WriteRegistry(kOptionsBlock + "\"LivenessTimeoutSeconds\"=\"" + c.stored + "\"\r\n");
        EXPECT_EQ(Store().ReadLivenessTimeoutSeconds(), c.seconds) << c.stored;
    }
}

TEST_F(ConfigStoreTest, UnreadableLinesAreLoggedOnceAndReadableKeysUsed) {
    WriteRegistry(kOptionsBlock + "\"AllowAccountCreation\"=\"False\"\r\nthis is not a value\r\n" + kConnectionBlock +
                  "\"PortNumber\"=\"2001\"\r\n");
    const LogCapture log;

    EXPECT_FALSE(Store().LoadOptionFlags().allowAccountCreation);
    EXPECT_EQ(Store().ReadPortNumber(), 2001);

    const std::vector<std::string> lines = LinesNamingRegistry(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("line 5: not a key or value: this is not a value"), std::string::npos) << lines[0];
}

} // namespace
} // namespace vserver::settings

namespace vserver::settings {
namespace {

// The store keeps the parsed file while the file stays unchanged; every kind of edit by
// another program must still show at the next read.
TEST_F(ConfigStoreTest, EveryEditOfTheFileShowsAtTheNextRead) {
    WriteRegistry(kOptionsBlock + "\"Motto\"=\"first\"\r\n");
    const ConfigStore store = Store();
    EXPECT_EQ(store.ReadOption("Motto", "d"), "first");

    // Old enough that equal stamps mean an unchanged file: the parsed copy is used from now on.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(store.ReadOption("Motto", "d"), "first");

    // Rewritten in place with the same size, then replaced by another file, then removed.
    WriteRegistry(kOptionsBlock + "\"Motto\"=\"again\"\r\n");
    EXPECT_EQ(store.ReadOption("Motto", "d"), "again");
    WriteFile(path_ + ".new", kHeader + kOptionsBlock + "\"Motto\"=\"other\"\r\n");
    fs::rename(path_ + ".new", path_);
    EXPECT_EQ(store.ReadOption("Motto", "d"), "other");
    fs::remove(path_);
    EXPECT_EQ(store.ReadOption("Motto", "d"), "d");
}

} // namespace
} // namespace vserver::settings
