// The account store's requests over real TCP against the real binary: the reply bytes, the
// service-log lines and the files each request leaves in the users folder and the queues.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;

namespace {

const std::string kMaster = "[General]\r\nFontSize=12\r\nVoice=Default\r\n";

std::string Item(const std::string& key, const std::string& section, const std::string& value) {
    return key + "\xB0" + section + "\xB0" + value;
}


using vserver::test::LockHolder;

class AccountRequests : public ::testing::Test {
protected:
    explicit AccountRequests(ServerOptions options = ServerOptions{.extraRegistry = kOpenConsole})
        : server(std::move(options)) {}
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.failure();
        c = server.Connect();
    }
    std::string Ask(int id, int type, std::string account, std::string argument1 = "", std::string argument2 = "") {
        client::Request r{.id = id, .type = type, .account = std::move(account), .argument1 = std::move(argument1),
                          .argument2 = std::move(argument2)};
        return Exchange(c, r);
    }
    std::string Console(int id, int type, std::string argument1, std::string argument2 = "") {
        return Ask(id, type, "", std::move(argument1), std::move(argument2));
    }
    bool Logged(const std::string& text) {
        auto texts = server.ServiceLogTexts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    std::string users() const { return server.usersFolder(); }
    std::string queue() const { return server.installPath("UserMessages.log"); }

    ServerProcess server;
    client::Connection c;
};

TEST_F(AccountRequests, CreateListAndDeleteAccounts) {
    EXPECT_EQ(Console(1, 807, "jsmith"), Completion(1, 807, "True"));
    EXPECT_EQ(ReadFile(users() + "/jsmith/JSMITHVantorelSettings.vts"), kMaster);
    EXPECT_EQ(Ask(2, 102, "alice"), Completion(2, 102, "True"));
    EXPECT_EQ(Console(3, 807, "JSmith"), Completion(3, 807, "False"));
    EXPECT_TRUE(Logged("Attempt to create duplicate account: JSmith"));

    std::string list = Ask(4, 100, "");
    EXPECT_TRUE(list == Completion(4, 100, "jsmith\xA6" "alice") || list == Completion(4, 100, "alice\xA6jsmith"))
        << Hex(list);
    EXPECT_EQ(Console(5, 806, ""), Completion(5, 806, list.substr(list.rfind('\xA7') + 1)));

    EXPECT_EQ(Console(6, 808, "JSMITH"), Completion(6, 808, "True"));
    EXPECT_EQ(Console(7, 808, "jsmith"), Completion(7, 808, "False"));
    EXPECT_TRUE(Logged("Attempt to delete non-existant account: jsmith"));
    EXPECT_EQ(Names(users()), (std::vector<std::string>{"VantorelSettings.vts", "alice"}));

    // Id 0: the work is done, no reply.
    c.Send(client::Request{.id = 0, .type = 100});
    EXPECT_TRUE(c.ExpectSilence(300ms));
}

// Bytes from 0x80 up are code page 1252 text on the wire. On disk the folder's name is UTF-8,
// and a listing gives back the bytes that were sent.
TEST_F(AccountRequests, NamesBeyondAsciiComeBackAsTheyWereSent) {
    const std::string name = "Zo\xEB" "Caf\xE9\x80";
    const std::string home = users() + "/" + OnDiskName(name);
    EXPECT_EQ(Console(1, 807, name), Completion(1, 807, "True"));
    ASSERT_TRUE(PathExists(home)) << Names(users()).back();
    EXPECT_EQ(Names(home).size(), 1u);
    EXPECT_EQ(Hex(Ask(2, 100, "")), Hex(Completion(2, 100, name)));
    EXPECT_EQ(Console(3, 807, "zO\xCB" "caf\xC9\x80"), Completion(3, 807, "False"));
    EXPECT_EQ(Console(4, 808, name), Completion(4, 808, "True"));
    EXPECT_FALSE(PathExists(home));
}

// An account, its preference files and a toolbar set named beyond ASCII: UTF-8 on disk,
// found in any capitals of the code page, listed back byte for byte.
TEST_F(AccountRequests, EightBitNamesAreUtf8OnDiskAndListedAsSent) {
    const std::string name = "M\xFCller";
    const std::string home = users() + "/" + OnDiskName(name);
    ASSERT_EQ(Console(1, 807, name), Completion(1, 807, "True"));
    EXPECT_EQ(ReadFile(home + "/" + OnDiskName("M\xDCLLERVantorelSettings.vts")), kMaster);
    EXPECT_EQ(Ask(2, 203, "", name + "\\\xDC" "bung.vts", Item("Stand", "S", "v")), "1\xA7" "2");
    EXPECT_EQ(ReadFile(home + "/" + OnDiskName("\xDC" "bung.vts")), "[S]\r\nStand=v\r\n");
    EXPECT_EQ(Ask(3, 201, "", "m\xDCLLER\\\xFC" "BUNG.VTS", Item("Stand", "S", "d")), "202\xA7" "3\xA7Stand\xB0v");

    EXPECT_EQ(Ask(4, 203, "", "ToolbarSet_Gr\xFC\xDF" "e.vts", Item("K", "S", "v")), "1\xA7" "4");
    EXPECT_TRUE(PathExists(users() + "/" + OnDiskName("ToolbarSet_Gr\xFC\xDF" "e.vts")));
    EXPECT_EQ(Hex(Ask(5, 204, "")), Hex(Completion(5, 204, "Gr\xFC\xDF" "e")));
    EXPECT_EQ(Ask(6, 205, "", "GR\xDC\xDF" "E"), Completion(6, 205, "True"));
    EXPECT_EQ(Hex(Ask(7, 100, "")), Hex(Completion(7, 100, name)));
}

// A users folder copied in from another server (a Windows share, a zip, a backup) holds UTF-8
// names: every request finds them as the code page names them.
TEST_F(AccountRequests, AFolderCopiedInWithUtf8NamesIsFound) {
    const std::string home = users() + "/Jos\xC3\xA9";
    MakeFolder(home);
    WriteFile(home + "/JOS\xC3\x89VantorelSettings.vts", "[General]\r\nFontSize=20\r\n");
    WriteFile(users() + "/ToolbarSet_\xC3\x86" "ble.vts", "");
    WriteFile(queue(), "Jos\xE9\xA6" "Bonjour\r\n");
    WriteFile(server.installPath("ForcedToolbarSets.log"), "jos\xE9\xA6\xC6" "ble\r\n");

    EXPECT_EQ(Ask(1, 201, "jos\xE9", "", Item("FontSize", "General", "1")), "202\xA7" "1\xA7" "FontSize\xB0" "20");
    EXPECT_EQ(Ask(2, 203, "JOS\xC9", "", Item("FontSize", "General", "22")), "1\xA7" "2");
    EXPECT_EQ(ReadFile(home + "/JOS\xC3\x89VantorelSettings.vts"), "[General]\r\nFontSize=22\r\n");
    EXPECT_EQ(Names(home).size(), 1u);
    EXPECT_EQ(Hex(Ask(3, 204, "")), Hex(Completion(3, 204, "\xC6" "ble")));
    EXPECT_EQ(Ask(4, 208, "Jos\xE9"), Completion(4, 208, "Bonjour"));
    EXPECT_EQ(Ask(5, 210, "JOS\xC9"), Completion(5, 210, "\xC6" "ble"));

    client::Connection pupil = server.Connect();
    EXPECT_EQ(Exchange(pupil, {.id = 6, .type = 101, .label = "Room 1", .account = "jOS\xE9", .clientKind = 3,
                               .version = "9.0", .detail = "ws-1"}),
              "1\xA7" "6");
    pupil.Close();
    EXPECT_EQ(Console(7, 808, "JOS\xC9"), Completion(7, 808, "True"));
    EXPECT_FALSE(PathExists(home));
}

// Names made by an earlier version on Linux hold the code page's bytes: still found and
// removed. A name with a character the code page lacks is listed with '?' in its place.
TEST_F(AccountRequests, RawNamesFromBeforeAndForeignCharacters) {
    SKIP_FOR_WINDOWS_SERVER("the Windows file system holds no names that are not Unicode");
    const std::string home = users() + "/Bj\xF8rn";
    MakeFolder(home);
    WriteFile(home + "/BJ\xD8RNVantorelSettings.vts", "[General]\r\nFontSize=9\r\n");
    MakeFolder(users() + "/\xCE\xA9mega");
    WriteFile(users() + "/ToolbarSet_\xCE\xA9.vts", "");

    EXPECT_EQ(Ask(1, 201, "BJ\xD8RN", "", Item("FontSize", "General", "1")), "202\xA7" "1\xA7" "FontSize\xB0" "9");
    EXPECT_EQ(Ask(2, 203, "bj\xF8rn", "", Item("FontSize", "General", "10")), "1\xA7" "2");
    EXPECT_EQ(Names(home), std::vector<std::string>{"BJ\xD8RNVantorelSettings.vts"});
    EXPECT_EQ(Hex(Ask(3, 204, "")), Hex(Completion(3, 204, "?")));
    std::string list = Ask(4, 100, "");
    EXPECT_TRUE(list == Completion(4, 100, "Bj\xF8rn\xA6?mega") || list == Completion(4, 100, "?mega\xA6" "Bj\xF8rn"))
        << Hex(list);
    EXPECT_EQ(Console(5, 808, "Bj\xF8rn"), Completion(5, 808, "True"));
    EXPECT_FALSE(PathExists(home));
}

TEST_F(AccountRequests, BadNamesAreRefusedAndNothingIsTouched) {
    MakeFolder(server.folder() + "/master/outside");
    for (std::string bad : std::vector<std::string>{"..", ".", "../outside", "a/b", "a\\b", "c:x", std::string(26, 'n'), "*", "a?"}) {
        EXPECT_EQ(Console(1, 807, bad), Completion(1, 807, "False")) << bad;
    }
    for (std::string bad : std::vector<std::string>{"", "..", "../outside", "Users\\..\\..", "*", std::string(26, 'n')}) {
        EXPECT_EQ(Console(2, 808, bad), Completion(2, 808, "False")) << bad;
    }
    EXPECT_TRUE(Logged("Attempt to create account with invalid characters: ../outside"));
    EXPECT_TRUE(Logged("Attempt to create account with too many characters: " + std::string(26, 'n')));
    EXPECT_TRUE(Logged("Failed to create new user home path: " + ServerPath(users() + "/*")));
    EXPECT_TRUE(Logged("Attempt to delete account with invalid characters: "));
    EXPECT_TRUE(Logged("Attempt to delete non-existant account: *"));
    EXPECT_EQ(Names(users()), std::vector<std::string>{"VantorelSettings.vts"});
    EXPECT_TRUE(PathExists(server.folder() + "/master/outside"));
}

TEST_F(AccountRequests, ReadOnlyTreesAreDeleted) {
    ASSERT_EQ(Console(1, 807, "jsmith"), Completion(1, 807, "True"));
    const std::string home = users() + "/jsmith";
    MakeFolder(home + "/work/old");
    WriteFile(home + "/work/old/essay.txt", "x");
    for (std::string p : {"/work/old/essay.txt", "/work/old", "/work", "/JSMITHVantorelSettings.vts", ""}) {
        ::chmod((home + p).c_str(), 0555);
    }
    EXPECT_EQ(Console(2, 808, "jsmith"), Completion(2, 808, "True"));
    EXPECT_FALSE(PathExists(home));
}

TEST_F(AccountRequests, PreferencesRoundTripThroughTheAccountsFile) {
    ASSERT_EQ(Console(1, 807, "jsmith"), Completion(1, 807, "True"));
    EXPECT_EQ(Ask(2, 201, "jsmith", "", Item("fontsize", "GENERAL", "10")), "202\xA7" "2\xA7" "fontsize\xB0" "12");
    EXPECT_EQ(Ask(3, 203, "jsmith", "", Item("FontSize", "General", "14")), "1\xA7" "3");
    EXPECT_EQ(Ask(4, 203, "JSMITH", "", Item("Theme", "Display", "Dark")), "1\xA7" "4");
    EXPECT_EQ(ReadFile(users() + "/jsmith/JSMITHVantorelSettings.vts"),
              "[General]\r\nFontSize=14\r\nVoice=Default\r\n[Display]\r\nTheme=Dark\r\n");

    // Id 0 still gets the read answer; missing items answer their defaults.
    c.Send(client::Request{.id = 0, .type = 201, .account = "Jsmith", .argument2 = Item("Missing", "General", "d")});
    EXPECT_EQ(c.ReadMessage(10s).value_or(""), "202\xA7" "0\xA7Missing\xB0" "d");
    EXPECT_EQ(Ask(5, 201, "jsmith", "", ""), "202\xA7" "5\xA7");

    std::string long300(300, 'w');
    Ask(6, 203, "jsmith", "", Item("Notes", "General", long300));
    EXPECT_EQ(Ask(7, 201, "jsmith", "", Item("Notes", "General", "")), "202\xA7" "7\xA7Notes\xB0" + long300.substr(0, 260));

    // A read-only preference file is made writable by the first write.
    const std::string file = users() + "/jsmith/JSMITHVantorelSettings.vts";
    ::chmod(file.c_str(), 0444);
    Ask(8, 203, "jsmith", "", Item("FontSize", "General", "16"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(Ask(9, 201, "jsmith", "", Item("FontSize", "General", "")), "202\xA7" "9\xA7" "FontSize\xB0" "16");
    EXPECT_EQ(Names(users() + "/jsmith"), std::vector<std::string>{"JSMITHVantorelSettings.vts"});
}

TEST_F(AccountRequests, PreferenceFilesInUtf16OrWithCrLineEndsKeepTheirForm) {
    // A UTF-16LE file with a character that has no 8-bit form: read as 8-bit text ("?" for
    // that character), written back in UTF-16LE with everything else as it was.
    MakeFolder(users() + "/jsmith");
    const std::string greek("\xA9\x03", 2);
    const std::string file = users() + "/jsmith/jsmithVantorelSettings.vts";
    WriteFile(file, "\xFF\xFE" + Utf16("[General]\r\nFontSize=12\r\nName=") + greek + Utf16("\r\n"));
    EXPECT_EQ(Ask(1, 201, "jsmith", "", Item("FontSize", "General", "10")), "202\xA7" "1\xA7" "FontSize\xB0" "12");
    EXPECT_EQ(Ask(2, 201, "jsmith", "", Item("Name", "General", "x")), "202\xA7" "2\xA7" "Name\xB0?");
    EXPECT_EQ(Ask(3, 203, "jsmith", "", Item("FontSize", "General", "14")), "1\xA7" "3");
    EXPECT_EQ(Ask(4, 203, "jsmith", "", Item("Voice", "Sound", "Caf\xE9")), "1\xA7" "4");
    EXPECT_EQ(ReadFile(file), "\xFF\xFE" + Utf16("[General]\r\nFontSize=14\r\nName=") + greek +
                                  Utf16("\r\n[Sound]\r\nVoice=Caf\xE9\r\n"));
    EXPECT_EQ(Ask(5, 201, "jsmith", "", Item("Voice", "Sound", "x")), "202\xA7" "5\xA7" "Voice\xB0" "Caf\xE9");

    // CR alone ends lines; a write changes the line the reader sees, in the same line ends.
    MakeFolder(users() + "/amy");
    const std::string crOnly = users() + "/amy/amyVantorelSettings.vts";
    WriteFile(crOnly, "[General]\rFontSize=12\rVoice=Default\r");
    EXPECT_EQ(Ask(6, 201, "amy", "", Item("Voice", "General", "x")), "202\xA7" "6\xA7" "Voice\xB0" "Default");
    Ask(7, 203, "amy", "", Item("FontSize", "General", "9"));
    Ask(8, 203, "amy", "", Item("Theme", "General", "Dark"));
    EXPECT_EQ(ReadFile(crOnly), "[General]\rFontSize=9\rVoice=Default\rTheme=Dark\r");
    // A default loses its trailing blanks once the file is read, and keeps them when it is missing.
    EXPECT_EQ(Ask(9, 201, "amy", "", Item("Missing", "General", " d  ")), "202\xA7" "9\xA7" "Missing\xB0 d");
    EXPECT_EQ(Ask(10, 201, "nobody", "", Item("Missing", "General", " d  ")), "202\xA7" "10\xA7" "Missing\xB0 d  ");
}

TEST_F(AccountRequests, PreferenceFilesOutsideTheUsersFolderAreNeverReached) {
    const std::string secret = server.folder() + "/master/secret.vts";
    WriteFile(secret, "[S]\r\nK=secret\r\n");
    for (std::string name : {"..\\secret.vts", "../secret.vts", "..\\..\\master\\secret.vts", "a\\..\\..\\secret.vts"}) {
        EXPECT_EQ(Ask(1, 201, "", name, Item("K", "S", "d")), "202\xA7" "1\xA7K\xB0" "d") << name;
        EXPECT_EQ(Ask(2, 203, "", name, Item("K", "S", "changed")), "1\xA7" "2") << name;
    }
    EXPECT_EQ(Ask(3, 201, "..", "", Item("K", "S", "d")), "202\xA7" "3\xA7K\xB0" "d");
    EXPECT_EQ(Ask(4, 201, "", "\\etc\\passwd", Item("root", "x", "d")), "202\xA7" "4\xA7root\xB0" "d");
    Ask(5, 203, "", "/etc/passwd", Item("K", "S", "v"));
    EXPECT_EQ(ReadFile(secret), "[S]\r\nK=secret\r\n");
    EXPECT_EQ(Names(users()), std::vector<std::string>{"VantorelSettings.vts"});
    EXPECT_TRUE(server.WaitForLogText("Preference file outside the user directory refused: "));

    // A file of the users folder named by a relative path, with "\" as separator.
    MakeFolder(users() + "/Sets");
    EXPECT_EQ(Ask(6, 203, "", "sets\\ToolbarSet_Math.vts", Item("Button1", "Toolbar", "Speak")), "1\xA7" "6");
    EXPECT_EQ(ReadFile(users() + "/Sets/ToolbarSet_Math.vts"), "[Toolbar]\r\nButton1=Speak\r\n");
}

TEST_F(AccountRequests, LinksOutOfTheUsersFolderAreRefusedAndLinksInsideWork) {
    namespace fs = std::filesystem;
    const std::string outside = server.folder() + "/outside";
    const std::string secret = "[S]\r\nK=secret\r\n";
    MakeFolder(outside);
    WriteFile(outside + "/EVILVantorelSettings.vts", secret);
    fs::create_directory_symlink(outside, users() + "/evil");
    fs::create_symlink(outside + "/EVILVantorelSettings.vts", users() + "/ToolbarSet_Leak.vts");
    MakeFolder(users() + "/JSMITH");
    WriteFile(users() + "/JSMITH/JSMITHVantorelSettings.vts", "[S]\r\nK=mine\r\n");
    fs::create_directory_symlink("JSMITH", users() + "/alias");

    struct Refused {
        const char* account;
        const char* file;
        const char* logged;  // below the users folder
    } refused[] = {
        {"evil", "", "evil"},
        {"EVIL", "", "EVIL"},
        {"", "evil\\new.vts", "evil\\new.vts"},
        {"", "ToolbarSet_Leak.vts", "ToolbarSet_Leak.vts"},
    };
    for (const Refused& r : refused) {
        // Wine shows a Linux link to a file as the plain file it leads to, so no program it
        // runs can tell such a link (links to folders it does show).
        if (WindowsServer() && std::string(r.logged) == "ToolbarSet_Leak.vts") continue;
        EXPECT_EQ(Ask(1, 201, r.account, r.file, Item("K", "S", "d")), "202\xA7" "1\xA7K\xB0" "d") << r.logged;
        EXPECT_EQ(Ask(2, 203, r.account, r.file, Item("K", "S", "changed")), "1\xA7" "2") << r.logged;
        EXPECT_TRUE(server.WaitForLogText("Preference file outside the user directory refused: " + ServerPath(users() + "/" + r.logged)))
            << r.logged;
    }
    EXPECT_EQ(ReadFile(outside + "/EVILVantorelSettings.vts"), secret);
    EXPECT_EQ(Names(outside), std::vector<std::string>{"EVILVantorelSettings.vts"});

    // A link that stays inside the users folder is followed for reads and writes on Linux;
    // Windows refuses every reparse point below the users folder, wherever it leads.
    const bool followed = !WindowsServer();
    EXPECT_EQ(Ask(3, 201, "", "alias\\jsmithVantorelSettings.vts", Item("K", "S", "d")),
              std::string("202\xA7" "3\xA7K\xB0") + (followed ? "mine" : "d"));
    EXPECT_EQ(Ask(4, 203, "", "Alias\\JSMITHVantorelSettings.vts", Item("K", "S", "ours")), "1\xA7" "4");
    EXPECT_EQ(ReadFile(users() + "/JSMITH/JSMITHVantorelSettings.vts"), followed ? "[S]\r\nK=ours\r\n" : "[S]\r\nK=mine\r\n");
    EXPECT_TRUE(fs::is_symlink(users() + "/alias"));
}

TEST_F(AccountRequests, ToolbarSetListLeavesClassicOut) {
    for (std::string set : {"Math", "CLASSIC", "Classic", "Reading"}) WriteFile(users() + "/ToolbarSet_" + set + ".vts", "");
    std::string reply = Ask(3, 204, "");
    EXPECT_TRUE(reply == Completion(3, 204, "Math\xA6Reading") || reply == Completion(3, 204, "Reading\xA6Math"))
        << Hex(reply);
    c.Send(client::Request{.id = 0, .type = 204});
    std::string zero = c.ReadMessage(10s).value_or("");
    EXPECT_EQ(zero.substr(0, 8), "1\xA7" "0\xA7" "204\xA7");
}

TEST_F(AccountRequests, QueuesDeliverEachAccountsItemsOnce) {
    EXPECT_EQ(Console(1, 810, "jsmith", "Read chapter 3"), Completion(1, 810, "True"));
    EXPECT_EQ(Console(2, 810, "alice", "Hello"), Completion(2, 810, "True"));
    EXPECT_EQ(Console(3, 810, "JSMITH", "Line one\r\nLine two"), Completion(3, 810, "True"));
    EXPECT_EQ(Console(4, 812, "jsmith", "Math"), Completion(4, 812, "True"));

    // The collected records leave the file once the client has shown it read the reply, by
    // sending its next request; until then they are not handed out again.
    const std::string queued = ReadFile(queue());
    EXPECT_EQ(Ask(5, 208, "jsmith"), Completion(5, 208, "Read chapter 3\xB0Line one\r\nLine two"));
    EXPECT_EQ(ReadFile(queue()), queued);
    EXPECT_EQ(Ask(6, 208, "jsmith"), Completion(6, 208, ""));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(queue()) == std::string("alice\xA6Hello\r\n\0", 14); }));
    EXPECT_EQ(Ask(7, 210, "Jsmith"), Completion(7, 210, "Math"));
    EXPECT_EQ(Ask(8, 208, "alice"), Completion(8, 208, "Hello"));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(server.installPath("ForcedToolbarSets.log")); }));
    EXPECT_EQ(Ask(9, 207, ""), Completion(9, 207, "9.0"));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(queue()); }));
}

TEST_F(AccountRequests, EmptyPayloadsAddNoSeparatorUntilTheResultHoldsText) {
    for (const char* payload : {"", "x", "", "y"}) EXPECT_EQ(Console(1, 810, "jsmith", payload), Completion(1, 810, "True"));
    EXPECT_EQ(Ask(2, 208, "jsmith"), Completion(2, 208, "x\xB0\xB0y"));
    for (const char* payload : {"", ""}) EXPECT_EQ(Console(3, 812, "jsmith", payload), Completion(3, 812, "True"));
    EXPECT_EQ(Ask(4, 210, "jsmith"), Completion(4, 210, ""));
}

TEST_F(AccountRequests, QueueFilesFromOtherToolsAreReadAsBefore) {
    WriteFile(queue(), "jsmith\xA6one\r\nalice\xA6two\r\njsmith\xA6three");  // no final NUL
    EXPECT_EQ(Ask(1, 208, "jsmith"), Completion(1, 208, "one\xB0three"));
    EXPECT_EQ(Ask(9, 207, ""), Completion(9, 207, "9.0"));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(queue()) == std::string("alice\xA6two\r\n\0", 12); }));
    EXPECT_EQ(Console(2, 810, "bob", "hi"), Completion(2, 810, "True"));
    EXPECT_EQ(ReadFile(queue()), std::string("alice\xA6two\r\nbob\xA6hi\r\n\0", 20));
}

TEST_F(AccountRequests, ALockedQueueWaitsWithoutStoppingTheServer) {
    Console(1, 810, "jsmith", "waiting");
    auto holder = std::make_unique<LockHolder>(LockedPath(queue()));
    ASSERT_TRUE(holder->locked());
    ASSERT_TRUE(c.Send(client::Request{.id = 2, .type = 208, .account = "jsmith"}));

    // Another client is served while the collection waits for the lock.
    auto other = server.Connect();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(other, client::Request{.id = 9, .type = 207}), Completion(9, 207, "9.0"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(c.ExpectSilence(300ms));

    holder.reset();
    EXPECT_EQ(c.ReadMessage(5s).value_or(""), Completion(2, 208, "waiting"));
    EXPECT_EQ(Ask(3, 207, ""), Completion(3, 207, "9.0"));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(queue()); }));
}

TEST_F(AccountRequests, AQueueThatStaysLockedAnswersEmptyAndKeepsItsRecords) {
    Console(1, 810, "jsmith", "kept");
    const std::string before = ReadFile(queue());
    LockHolder holder(LockedPath(queue()));
    ASSERT_TRUE(holder.locked());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(c, client::Request{.id = 2, .type = 208, .account = "jsmith"}, 10s), Completion(2, 208, ""));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
    EXPECT_EQ(ReadFile(queue()), before);
}

TEST_F(AccountRequests, AServerKilledDuringACollectionLosesNoRecord) {
    Console(1, 810, "jsmith", "mine");
    Console(2, 810, "alice", "hers");
    const std::string before = ReadFile(queue());
    LockHolder holder(LockedPath(queue()));
    ASSERT_TRUE(holder.locked());
    ASSERT_TRUE(c.Send(client::Request{.id = 3, .type = 208, .account = "jsmith"}));
    std::this_thread::sleep_for(700ms);  // the collection has tried and waits for its next try
    ::kill(server.pid(), SIGKILL);
    server.WaitExit();
    holder.Release();
    EXPECT_EQ(ReadFile(queue()), before);
    for (const auto& name : Names(server.folder())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

class AccountRequestsWithoutCreation : public AccountRequests {
protected:
    AccountRequestsWithoutCreation()
        : AccountRequests(ServerOptions{.extraRegistry = kOpenConsole + "\"AllowAccountCreation\"=\"FALSE\"\r\n"}) {}
};

TEST_F(AccountRequestsWithoutCreation, ClientsCannotCreateButTheConsoleCan) {
    EXPECT_EQ(Ask(1, 102, "jsmith"), Completion(1, 102, "False"));
    EXPECT_FALSE(PathExists(users() + "/jsmith"));
    EXPECT_EQ(Console(2, 807, "jsmith"), Completion(2, 807, "True"));
    for (const auto& text : server.ServiceLogTexts()) EXPECT_EQ(text.find("account"), std::string::npos) << text;
}

class AccountRequestsWithoutUsers : public AccountRequests {
protected:
    AccountRequestsWithoutUsers()
        : AccountRequests(ServerOptions{.extraRegistry = kOpenConsole, .createUsersFolder = false}) {}
};

TEST_F(AccountRequestsWithoutUsers, EverythingAnswersAndNothingIsCreated) {
    const std::string missing = "Can't find top-level user directory: " + ServerPath(users());
    EXPECT_EQ(Ask(1, 100, ""), Completion(1, 100, ""));
    EXPECT_EQ(Console(2, 807, "jsmith"), Completion(2, 807, "False"));
    EXPECT_EQ(Console(3, 808, "jsmith"), Completion(3, 808, "False"));
    EXPECT_EQ(Ask(4, 204, ""), Completion(4, 204, ""));
    EXPECT_EQ(Ask(5, 201, "jsmith", "", Item("K", "S", "d")), "202\xA7" "5\xA7K\xB0" "d");
    EXPECT_EQ(Ask(6, 203, "jsmith", "", Item("K", "S", "v")), "1\xA7" "6");
    auto texts = server.ServiceLogTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), missing), 3);
    EXPECT_FALSE(PathExists(users()));
}

class AccountRequestsWithoutMaster : public AccountRequests {
protected:
    AccountRequestsWithoutMaster()
        : AccountRequests(ServerOptions{.extraRegistry = kOpenConsole, .withMasterPreferences = false}) {}
};

TEST_F(AccountRequestsWithoutMaster, AccountsAreCreatedWithoutPreferenceFile) {
    EXPECT_EQ(Console(1, 807, "jsmith"), Completion(1, 807, "True"));
    EXPECT_TRUE(Logged("Can't find master preference file: " + ServerPath(users() + "/VantorelSettings.vts")));
    EXPECT_TRUE(Names(users() + "/jsmith").empty());
    EXPECT_EQ(Ask(2, 201, "jsmith", "", Item("FontSize", "General", "10")), "202\xA7" "2\xA7" "FontSize\xB0" "10");
}

} // namespace
