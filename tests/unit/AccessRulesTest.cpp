#include "settings/AccessRules.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "LogCapture.h"
#include "accounts/Preferences.h"
#include "platform/FileSystem.h"

namespace vserver::settings {
namespace {

using platform::NetAddress;
using vserver::test::LogCapture;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

NetAddress Address(const char* text) {
    std::optional<NetAddress> address = platform::ParseNetAddress(text);
    EXPECT_TRUE(address.has_value()) << text;
    return address.value_or(NetAddress{});
}

TEST(NetAddressTest, PrefixesMatchTheirRangeWhicheverWayIPv4IsWritten) {
    struct Case {
        const char* prefix;
        const char* inside;
        const char* outside;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.2.3", "10.1.2.4"},
        {"10.1.0.0/16", "10.1.255.1", "10.2.0.1"},
        {"10.0.0.0/9", "10.127.0.1", "10.128.0.1"},
        {"10.1.2.3/16", "10.1.9.9", "10.0.2.3"},   // host bits beyond the prefix do not count
        {"::ffff:10.0.0.5", "10.0.0.5", "10.0.0.6"},
        {"::ffff:10.0.0.0/104", "10.200.0.1", "11.0.0.1"},
        {"10.0.0.5", "::ffff:10.0.0.5", "::10.0.0.5"},
        {"0.0.0.0/0", "192.168.1.1", "::1"},
        {"::1", "::1", "127.0.0.1"},
        {"2001:db8::/32", "2001:db8:ffff::1", "2001:db9::1"},
        {"::/0", "10.0.0.1", nullptr},
    };
    for (const Case& c : cases) {
        std::optional<platform::AddressPrefix> prefix = platform::ParseAddressPrefix(c.prefix);
        ASSERT_TRUE(prefix.has_value()) << c.prefix;
        EXPECT_TRUE(prefix->Matches(Address(c.inside))) << c.prefix << " " << c.inside;
        if (c.outside != nullptr) {
            EXPECT_FALSE(prefix->Matches(Address(c.outside))) << c.prefix << " " << c.outside;
        }
    }
    for (const char* bad : {"", "host", "10.0.0", "10.0.0.256", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1",
                            "10.0.0.0/+8", "10.0.0.0/8x", "::1/129", "[::1]", " 10.0.0.1", "fe80::1%eth0"}) {
        EXPECT_FALSE(platform::ParseAddressPrefix(bad).has_value()) << bad;
    }
}

TEST(NetAddressTest, AddressesAreWrittenAsPeopleWriteThem) {
    EXPECT_EQ(platform::FormatNetAddress(Address("::ffff:10.0.0.5")), "10.0.0.5");
    EXPECT_EQ(platform::FormatNetAddress(Address("2001:0db8:0::1")), "2001:db8::1");
    EXPECT_TRUE(Address("127.0.0.1").IsV4());
    EXPECT_FALSE(Address("::1").IsV4());
}

TEST(AddressListTest, EntriesAreCutAtCommasAndUnreadableOnesKeptAside) {
    AddressList list = ParseAddressList(" 10.0.0.1 ,, bogus,10.0.0.0/8,\t::1 ", true);
    ASSERT_EQ(list.entries.size(), 3U);
    EXPECT_EQ(list.entries[1].bits, 96 + 8);
    EXPECT_EQ(list.rejected, std::vector<std::string>{"bogus"});
    // Addresses to listen on are single addresses: a prefix names none.
    AddressList bind = ParseAddressList("127.0.0.1,10.0.0.0/8", false);
    EXPECT_EQ(bind.entries.size(), 1U);
    EXPECT_EQ(bind.rejected, std::vector<std::string>{"10.0.0.0/8"});
}

class AccessRulesTest : public ::testing::Test {
protected:
    AccessRules Read(const std::string& options) {
        WriteFile(path_, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n" + options);
        return ReadReloadableOptions(ConfigStore(path_)).access;
    }
    TempFolder folder_;
    std::string path_ = folder_ / "VServerService.reg";
};

TEST_F(AccessRulesTest, NothingSetRestrictsNothing) {
    AccessRules rules = Read("");
    EXPECT_TRUE(rules.ConsoleAllowedFrom(Address("192.0.2.7")));
    EXPECT_EQ(rules.maxConnectionsPerAddress, 0);
    EXPECT_FALSE(rules.consoleOnlySharedFiles);
}

TEST_F(AccessRulesTest, ValuesAreReadAndUnreadableOnesReportedAndIgnored) {
    LogCapture log;
    AccessRules rules = Read("\"ConsoleAddresses\"=\"10.1.0.0/16, adminpc-7f3a\"\r\n"
                             "\"MaxConnectionsPerAddress\"=\" 12 \"\r\n\"ConsoleOnlySharedFiles\"=\"TRUE\"\r\n");
    EXPECT_TRUE(rules.ConsoleAllowedFrom(Address("10.1.4.4")));
    EXPECT_FALSE(rules.ConsoleAllowedFrom(Address("10.2.4.4")));
    EXPECT_EQ(rules.maxConnectionsPerAddress, 12);
    EXPECT_TRUE(rules.consoleOnlySharedFiles);
    EXPECT_EQ(log.CountMentioning("\"adminpc-7f3a\" is not an address"), 1U);

    for (const char* limit : {"-3", "many-7f3a", "1e3"}) {
        LogCapture limitLog;
        EXPECT_EQ(Read(std::string("\"MaxConnectionsPerAddress\"=\"") + limit + "\"\r\n").maxConnectionsPerAddress, 0);
        EXPECT_EQ(limitLog.CountMentioning(std::string("MaxConnectionsPerAddress \"") + limit + "\" is not a number"), 1U)
            << limit;
    }
}

TEST_F(AccessRulesTest, AListOfOnlyUnreadableEntriesLetsNoConsoleIn) {
    AccessRules rules = Read("\"ConsoleAddresses\"=\"adminpc\"\r\n");
    EXPECT_FALSE(rules.ConsoleAllowedFrom(Address("127.0.0.1")));
    EXPECT_FALSE(rules.ConsoleAllowedFrom(Address("::1")));
}

// The rules must not be switched off by a file the server cannot read with certainty; what
// counts is whether the Options key itself may be hidden or cut short.
TEST_F(AccessRulesTest, OptionsThatMayBeHiddenAreUnreadableAndSayWhere) {
    const std::string options = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";
    const std::string rules = "\"ConsoleAddresses\"=\"10.0.0.1\"\r\n\"ConsoleOnlySharedFiles\"=\"True\"\r\n";
    const std::string appId = "[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n";
    struct Case {
        std::string file;
        std::string unreadable;  // empty: the rules are read
    };
    const Case cases[] = {
        {"REGEDIT4\r\n" + options + "\r\n" + rules, "line 2: key without closing bracket"},
        {"", "the file is empty"},
        {"REGEDIT4\r\n" + options + "]\r\n" + rules + "\"MaxConnectionsPerAddress\"=3\r\n", "line 5: "},
        {"REGEDIT4\r\n" + appId + "\"AppID=\"x\r\n" + options + "]\r\n" + rules, ""},
    };
    for (const Case& c : cases) {
        WriteFile(path_, c.file);
        const ReloadableOptions read = ReadReloadableOptions(ConfigStore(path_));
        if (c.unreadable.empty()) {
            EXPECT_EQ(read.unreadable, "") << c.file;
            EXPECT_FALSE(read.access.ConsoleAllowedFrom(Address("10.0.0.2")));
            EXPECT_TRUE(read.access.consoleOnlySharedFiles);
        } else {
            EXPECT_EQ(read.unreadable.rfind("registry file " + path_ + ": " + c.unreadable, 0), 0u) << read.unreadable;
        }
    }
    // A missing file is an empty registry: nothing set, nothing restricted.
    std::filesystem::remove(path_);
    EXPECT_EQ(ReadReloadableOptions(ConfigStore(path_)).unreadable, "");
    // A file that cannot be opened at all names the failed call.
    const std::string folder = folder_ / "folder.reg";
    vserver::test::MakeFolder(folder);
    EXPECT_NE(ReadReloadableOptions(ConfigStore(folder)).unreadable.find("registry file " + folder + ": "),
              std::string::npos);

    const AccessRules closed = ClosedAccessRules();
    EXPECT_FALSE(closed.ConsoleAllowedFrom(Address("127.0.0.1")));
    EXPECT_TRUE(closed.consoleOnlySharedFiles);
    EXPECT_EQ(closed.maxConnectionsPerAddress, 0);
}

TEST(HomeFolderTest, OnlyFilesBelowTheAccountsOwnFolderAreItsOwn) {
    // The same folders in the system's own full form (with a drive where paths have one).
    const std::string root = platform::FullPathForm(vserver::test::NativePath("/srv/v"));
    const std::string users = root + vserver::test::NativePath("/Users");
    struct Case {
        const char* account;
        const char* path;
        bool own;
    };
    for (const Case& c : {Case{"jsmith", "/srv/v/Users/jsmith/JSMITHVantorelSettings.vts", true},
                          Case{"jsmith", "/srv/v/Users/JSMITH/sub/file.vts", true},
                          Case{"jsmith", "/srv/v/Users/jsmith", false},
                          Case{"jsmith", "/srv/v/Users/VantorelSettings.vts", false},
                          Case{"jsmith", "/srv/v/Users/amy/AMYVantorelSettings.vts", false},
                          Case{"jsmith", "/srv/v/Users/jsmithx/f.vts", false},
                          Case{"jsmith", "/srv/v/Other/jsmith/f.vts", false},
                          Case{"", "/srv/v/Users/VantorelSettings.vts", false},
                          Case{"..", "/srv/v/f.vts", false},
                          Case{"a/b", "/srv/v/Users/a/b/f.vts", false}}) {
        const std::string path = root + vserver::test::NativePath(std::string(c.path).substr(6));
        EXPECT_EQ(accounts::IsInHomeFolder(users, c.account, path), c.own) << c.account << " " << path;
    }
}

} // namespace
} // namespace vserver::settings
