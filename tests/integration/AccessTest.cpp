// Who may reach the server and what its clients may touch: the listening addresses, the
// console's addresses, the connection limit per client address and the shared preference
// files. Clients come from several loopback addresses (127.0.0.0/8 is all this machine's).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;

namespace {

const std::string A7 = "\xA7";
const std::string kConsole = "<Service Administrator Console>";
const std::string kOptionsKey = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n";
const std::string kConnectionKey = "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n";

std::string Value(const std::string& name, const std::string& text) { return "\"" + name + "\"=\"" + text + "\"\r\n"; }

client::Request LogonRequest(int id, const std::string& account, int kind) {
    return {.id = id, .type = 101, .label = "Room 12", .account = account, .clientKind = kind, .version = "9.0",
            .detail = "ws"};
}

std::string Refusal(int id, int code) { return "1" + A7 + std::to_string(id) + A7 + "101" + A7 + std::to_string(code); }
std::string Completion(int id) { return "1" + A7 + std::to_string(id); }

class Access : public ::testing::Test {
protected:
    void StartServer(const std::string& registry) {
        server = std::make_unique<ServerProcess>(ServerOptions{.extraRegistry = registry});
        ASSERT_TRUE(server->Start()) << server->failure();
    }

    // A console logon from the local address from; the connection stays open for the caller.
    std::string ConsoleLogon(client::Connection& c, const std::string& from) {
        c = server->Connect(from);
        return Exchange(c, LogonRequest(7, kConsole, 5));
    }

    // Logs the session off and waits until the server has closed it, so that the next console
    // logon does not find this one still present.
    static void LogOff(client::Connection& c) {
        ASSERT_TRUE(c.Send({.id = 0, .type = 103, .account = kConsole}));
        while (c.ReadMessage(10s)) {
        }
        EXPECT_TRUE(c.closed());
    }

    std::size_t LogLinesWith(const std::string& fragment) const {
        auto texts = server->ServiceLogTexts();
        return static_cast<std::size_t>(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.find(fragment) != std::string::npos;
        }));
    }

    std::unique_ptr<ServerProcess> server;
};

} // namespace

TEST_F(Access, ConsoleLogsOnOnlyFromTheListedAddressesAndPrefixes) {
    StartServer(kOptionsKey + Value("ConsoleAddresses", "127.0.0.1, 127.0.1.0/24, ::ffff:127.0.0.3, console-pc"));
    struct Case {
        const char* from;
        bool allowed;
    };
    for (Case c : {Case{"127.0.0.2", false}, Case{"127.0.0.1", true}, Case{"127.0.1.9", true},
                   Case{"127.0.0.3", true}, Case{"127.0.2.1", false}}) {
        client::Connection console;
        if (c.allowed) {
            EXPECT_EQ(ConsoleLogon(console, c.from), Completion(7)) << c.from;
            LogOff(console);
        } else {
            EXPECT_EQ(ConsoleLogon(console, c.from), Refusal(7, 5)) << c.from;
            EXPECT_EQ(LogLinesWith(std::string("Console logon refused from ") + c.from + ","), 1U) << c.from;
        }
    }
    // The entry that is no address was reported once, at start, and ignored.
    EXPECT_EQ(LogLinesWith("\"console-pc\" is not an address"), 1U);
    // The list is about consoles only: a workstation logs on from anywhere.
    auto workstation = server->Connect("127.0.0.2");
    EXPECT_EQ(Exchange(workstation, LogonRequest(8, "jsmith", 4)), Completion(8));
}

TEST_F(Access, ConsoleAddressesChangeOnReload) {
    StartServer(kOptionsKey + Value("ConsoleAddresses", "127.0.0.1"));
    client::Connection console;
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.2"), Refusal(7, 5));
    ASSERT_EQ(ConsoleLogon(console, "127.0.0.1"), Completion(7));
    auto ask = [&](int type, const std::string& a1 = "", const std::string& a2 = "") {
        return Exchange(console, {.id = 9, .type = type, .argument1 = a1, .argument2 = a2});
    };
    EXPECT_EQ(ask(817, "ConsoleAddresses", "127.0.0.2"), "1" + A7 + "9" + A7 + "817" + A7 + "True");
    EXPECT_EQ(ask(809), "1" + A7 + "9" + A7 + "809" + A7 + "True");
    // The console already logged on keeps its session; the next logon follows the new list.
    EXPECT_EQ(ask(801), "1" + A7 + "9" + A7 + "801" + A7 + "False");
    LogOff(console);
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.1"), Refusal(7, 5));
    ASSERT_EQ(ConsoleLogon(console, "127.0.0.2"), Completion(7));
    // An empty list lets anyone in again.
    ask(817, "ConsoleAddresses", "");
    ask(809);
    LogOff(console);
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.5"), Completion(7));
}

TEST_F(Access, OpenConsoleRequestsStillFollowTheConsoleAddresses) {
    StartServer(kOptionsKey + Value("ConsoleAddresses", "127.0.0.1") +
                Value("AllowConsoleRequestsFromAnyConnection", "True"));
    auto inside = server->Connect("127.0.0.1");
    auto outside = server->Connect("127.0.0.2");
    const std::string count = "1" + A7 + "4" + A7 + "802" + A7;
    EXPECT_EQ(Exchange(inside, {.id = 4, .type = 802}), count + "2");
    EXPECT_EQ(Exchange(outside, {.id = 4, .type = 802}), count + "False");
    EXPECT_EQ(LogLinesWith("Console request refused from 127.0.0.2, the address is not in Options\\ConsoleAddresses, "
                           "request type 802"),
              1U);
}

TEST_F(Access, BoundServerIsReachableOnlyOnItsAddresses) {
    StartServer(kConnectionKey + Value("BindAddress", "127.0.0.1, 127.0.0.3"));
    for (const char* host : {"127.0.0.1", "127.0.0.3"}) {
        auto c = server->Connect({}, host);
        EXPECT_EQ(Exchange(c, {.id = 2, .type = 2}), Completion(2)) << host;
    }
    client::Connection elsewhere;
    std::string error;
    EXPECT_FALSE(elsewhere.Open("127.0.0.2", server->port(), 5s, &error));
    EXPECT_EQ(LogLinesWith("Listening only on the addresses of Connection\\BindAddress: 127.0.0.1 127.0.0.3"), 1U);
}

TEST(AccessStart, BindAddressThatCannotBeUsedStopsTheStart) {
    // Not an address at all, a host name, a prefix, and an address this machine does not have.
    for (const std::string value : {"127.0.0.300", "localhost", "127.0.0.0/8", "192.0.2.1"}) {
        ServerProcess server{ServerOptions{.extraRegistry = kConnectionKey + Value("BindAddress", "127.0.0.1," + value)}};
        server.Launch();
        EXPECT_EQ(server.WaitExit(), 1) << value;
        EXPECT_NE(server.StandardError().find(value), std::string::npos) << value << ": " << server.StandardError();
        auto texts = server.ServiceLogTexts();
        auto failed = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
            return t.rfind("Server initialization failed: ", 0) == 0;
        });
        ASSERT_NE(failed, texts.end()) << value;
        EXPECT_NE(failed->find(value), std::string::npos) << *failed;
        EXPECT_NE(std::find(texts.begin(), texts.end(), "Can't initialize server object"), texts.end()) << value;
    }
}

TEST_F(Access, ConnectionsBeyondTheLimitOfOneAddressAreClosedAtOnce) {
    StartServer(kOptionsKey + Value("MaxConnectionsPerAddress", "2"));
    auto first = server->Connect("127.0.0.2");
    auto second = server->Connect("127.0.0.2");
    for (int i = 0; i < 3; ++i) {
        auto extra = server->ConnectRaw("127.0.0.2");
        EXPECT_FALSE(extra.ReadMessage(10s).has_value());
        EXPECT_TRUE(extra.closed());
    }
    // Another address is served meanwhile.
    auto other = server->Connect("127.0.0.3");
    EXPECT_EQ(Exchange(other, {.id = 5, .type = 207}), "1" + A7 + "5" + A7 + "207" + A7 + "9.0");
    const std::string refusal = "Connections from 127.0.0.2 refused";
    EXPECT_EQ(LogLinesWith(refusal), 1U);

    // Once one of its connections has gone, the address is served again; the next refusal
    // starts a new run with its own line.
    LogOff(first);
    auto again = server->Connect("127.0.0.2");
    auto extra = server->ConnectRaw("127.0.0.2");
    EXPECT_FALSE(extra.ReadMessage(10s).has_value());
    EXPECT_EQ(LogLinesWith(refusal), 2U);
    client::Connection console;
    ASSERT_EQ(ConsoleLogon(console, "127.0.0.1"), Completion(7));
    // The refused connections took no index: the one from the other address got the next.
    std::string sessions = Exchange(console, {.id = 9, .type = 803});
    EXPECT_NE(sessions.find("<Logging On, Index #3...>"), std::string::npos) << sessions;
}

TEST_F(Access, SharedFilesAreWrittenOnlyFromTheConsole) {
    StartServer(kOptionsKey + Value("ConsoleOnlySharedFiles", "True"));
    const std::string users = server->usersFolder();
    for (const char* account : {"jsmith", "amy"}) MakeFolder(users + "/" + account);
    WriteFile(users + "/jsmith/JSMITHVantorelSettings.vts", "");
    WriteFile(users + "/amy/AMYVantorelSettings.vts", "");
    WriteFile(users + "/ToolbarSet_Math.vts", "");
    const std::string master = ReadFile(users + "/VantorelSettings.vts");
    auto write = [](client::Connection& c, const std::string& account, const std::string& file) {
        return Exchange(c, {.id = 3, .type = 203, .account = account, .argument1 = file,
                            .argument2 = "Key\xB0Section\xB0value"});
    };

    auto anonymous = server->Connect();
    EXPECT_EQ(write(anonymous, "", ""), Completion(3));
    EXPECT_EQ(ReadFile(users + "/VantorelSettings.vts"), master);
    EXPECT_EQ(LogLinesWith("Preference write refused, only the console's connection may write outside its own home "
                           "folder: connection index 1 (<Logging On, Index #1...>), file " +
                           ServerPath(users + "/VantorelSettings.vts")),
              1U);

    auto jsmith = server->Connect();
    ASSERT_EQ(Exchange(jsmith, LogonRequest(1, "jsmith", 3)), Completion(1));
    struct Case {
        std::string account;
        std::string file;
        std::string path;
        bool written;
    };
    for (const Case& c : {Case{"JSMITH", "", "jsmith/JSMITHVantorelSettings.vts", true},
                          Case{"amy", "", "amy/AMYVantorelSettings.vts", false},
                          Case{"", "ToolbarSet_Math.vts", "ToolbarSet_Math.vts", false},
                          Case{"", "jsmith\\..\\VantorelSettings.vts", "VantorelSettings.vts", false}}) {
        EXPECT_EQ(write(jsmith, c.account, c.file), Completion(3)) << c.path;
        bool written = ReadFile(users + "/" + c.path).find("Key=value") != std::string::npos;
        EXPECT_EQ(written, c.written) << c.path;
    }

    client::Connection console;
    ASSERT_EQ(ConsoleLogon(console, "127.0.0.1"), Completion(7));
    EXPECT_EQ(write(console, "", ""), Completion(3));
    EXPECT_NE(ReadFile(users + "/VantorelSettings.vts").find("Key=value"), std::string::npos);
}

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// A preference write of the master file by a connection that has not logged on; true when it
// reached the file.
bool AnonymousWritesTheMasterFile(ServerProcess& server, const std::string& from, const std::string& value) {
    auto anonymous = server.Connect(from);
    EXPECT_EQ(Exchange(anonymous, {.id = 3, .type = 203, .argument2 = "Key\xB0Section\xB0" + value}), Completion(3));
    return ReadFile(server.usersFolder() + "/VantorelSettings.vts").find("Key=" + value) != std::string::npos;
}

} // namespace

TEST_F(Access, OptionsThatCannotBeReadAtStartLetNoConsoleInUntilTheyCanBe) {
    // The Options key line left without its bracket hides every value below it.
    StartServer("[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options\r\n" + Value("ConsoleAddresses", "127.0.0.1"));
    client::Connection console;
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.1"), Refusal(7, 5));
    // Told at start, before the first request was served.
    EXPECT_EQ(LogLinesWith("Options cannot be read from registry file " + ServerPath(server->registryPath()) + ": line "), 1U);
    EXPECT_EQ(LogLinesWith("key without closing bracket; its values are skipped: [HKEY_LOCAL_MACHINE\\Software\\QORA\\"
                           "Vantorel Server\\Options; no console may log on and only the console may write shared "
                           "files until they can be read"),
              1U);
    EXPECT_NE(server->StandardError().find("Options cannot be read from registry file"), std::string::npos)
        << server->StandardError();
    EXPECT_EQ(LogLinesWith("Console logon refused from 127.0.0.1, the access rules could not be read since the start"), 1U);
    EXPECT_FALSE(AnonymousWritesTheMasterFile(*server, "127.0.0.1", "closed"));

    // Mended, the file is read at the next console logon, whose address the rules now decide.
    WriteFile(server->registryPath(), Replaced(ReadFile(server->registryPath()), "Options\r\n", "Options]\r\n"));
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.2"), Refusal(7, 5));
    EXPECT_EQ(LogLinesWith("Console logon refused from 127.0.0.2, the address is not in Options\\ConsoleAddresses"), 1U);
    EXPECT_EQ(LogLinesWith("Options read from registry file"), 1U);
    EXPECT_EQ(ConsoleLogon(console, "127.0.0.1"), Completion(7));
    EXPECT_TRUE(AnonymousWritesTheMasterFile(*server, "127.0.0.2", "open"));
}

TEST_F(Access, AReloadThatCannotReadTheOptionsKeepsTheRulesInForce) {
    const std::string rules = Value("ConsoleAddresses", "127.0.0.1") + Value("ConsoleOnlySharedFiles", "True");
    StartServer(kOptionsKey + rules);
    const std::string registry = ReadFile(server->registryPath());
    client::Connection console;
    ASSERT_EQ(ConsoleLogon(console, "127.0.0.1"), Completion(7));
    const std::string reloaded = "1" + A7 + "9" + A7 + "809" + A7 + "True";

    // The key line left without its bracket, and the file empty for the instant in which an
    // editor that saves in place has cut it and not yet written it again.
    const std::string unreadable[] = {Replaced(registry, "Options]", "Options"), ""};
    for (const std::string& text : unreadable) {
        WriteFile(server->registryPath(), text);
        EXPECT_EQ(Exchange(console, {.id = 9, .type = 809}), reloaded);
        client::Connection other;
        EXPECT_EQ(ConsoleLogon(other, "127.0.0.2"), Refusal(7, 5));
        EXPECT_FALSE(AnonymousWritesTheMasterFile(*server, "127.0.0.2", "kept"));
    }
    const std::string kept = "Options kept as they were, they cannot be read from registry file " +
                             ServerPath(server->registryPath()) + ": ";
    EXPECT_EQ(LogLinesWith(kept + "line "), 1U);
    EXPECT_EQ(LogLinesWith(kept + "the file is empty"), 1U);

    // Saved whole, the file is read again.
    WriteFile(server->registryPath(), Replaced(registry, rules, Value("ConsoleOnlySharedFiles", "False")));
    EXPECT_EQ(Exchange(console, {.id = 9, .type = 809}), reloaded);
    EXPECT_TRUE(AnonymousWritesTheMasterFile(*server, "127.0.0.2", "saved"));
}

TEST_F(Access, SharedFilesAreJudgedByWhereThePathLeadsNotHowItIsSpelled) {
    StartServer(kOptionsKey + Value("ConsoleOnlySharedFiles", "True"));
    const std::string users = server->usersFolder();
    MakeFolder(users + "/a");
    WriteFile(users + "/a/AVantorelSettings.vts", "");
    std::filesystem::create_directory_symlink("..", users + "/a/up");
    const std::string master = ReadFile(users + "/VantorelSettings.vts");
    auto write = [](client::Connection& c, int id, const std::string& file) {
        return Exchange(c, {.id = id, .type = 203, .account = "a", .argument1 = file,
                            .argument2 = "Key\xB0Section\xB0value"});
    };

    auto a = server->Connect();
    ASSERT_EQ(Exchange(a, LogonRequest(1, "a", 3)), Completion(1));
    // Spelled inside a's home folder, the path leads up to the master preference file.
    EXPECT_EQ(write(a, 2, "a\\up\\VantorelSettings.vts"), Completion(2));
    EXPECT_EQ(ReadFile(users + "/VantorelSettings.vts"), master);
    // Through the same link back down into a's home folder, it leads where a may write.
    EXPECT_EQ(write(a, 3, "a\\up\\a\\AVantorelSettings.vts"), Completion(3));
    const bool written = ReadFile(users + "/a/AVantorelSettings.vts").find("Key=value") != std::string::npos;
    if (WindowsServer()) {
        // Windows refuses every reparse point below the users folder, wherever it leads.
        EXPECT_FALSE(written);
        EXPECT_EQ(LogLinesWith("Preference file outside the user directory refused: " + ServerPath(users + "/a\\up\\")), 2U);
    } else {
        EXPECT_TRUE(written);
        EXPECT_EQ(LogLinesWith("Preference write refused, only the console's connection may write outside its own home "
                               "folder: connection index 1 (a), file " + users + "/VantorelSettings.vts"),
                  1U);
    }
}
