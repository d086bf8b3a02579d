// vserverctl against the real server: every command in both output forms, the files the
// commands leave, and the error paths (server down, second console, bad argument, timeout).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ServerHarness.h"
#include "ToolProcess.h"

namespace vserver::test {
namespace {

using client::Request;

const std::string kConsole = "<Service Administrator Console>";

class VserverctlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.failure(); }

    ToolRun Ctl(std::vector<std::string> arguments, bool json = false) {
        std::vector<std::string> all = {"--port", std::to_string(server_.port())};
        if (json) all.push_back("--json");
        all.insert(all.end(), arguments.begin(), arguments.end());
        return RunTool(VserverctlPath(), all);
    }

    // A workstation session that logs on without account checks (client kind 4).
    client::Connection LogOn(const std::string& account, const std::string& label = "lab-3",
                             const std::string& detail = "pc1") {
        client::Connection connection = server_.Connect();
        Request logon;
        logon.id = 1;
        logon.type = 101;
        logon.account = account;
        logon.label = label;
        logon.clientKind = 4;
        logon.version = "9.0";
        logon.detail = detail;
        EXPECT_EQ(Hex(Exchange(connection, logon)), Hex("1\xA7" "1"));
        return connection;
    }

    ServerProcess server_;
};

// One JSON document on one line that begins with the status and the command.
void ExpectJsonDocument(const ToolRun& run, bool ok, const std::string& command) {
    std::string head = std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"command\":\"" + command + "\"";
    EXPECT_EQ(run.out.rfind(head, 0), 0u) << run.out;
    ASSERT_GE(run.out.size(), 2u);
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "}\n");
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The cells of a table line: text between runs of two or more blanks.
std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t gap = line.find("  ", start);
        cells.push_back(line.substr(start, gap - start));
        if (gap == std::string::npos) break;
        start = line.find_first_not_of(' ', gap);
    }
    return cells;
}

// A port on which nothing listens: bound once, then released.
int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A listener that never accepts and never sends: connects complete in the backlog, and then
// nothing arrives.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    int port() const { return port_; }
    bool SomeoneConnected() {
        int accepted = ::accept(fd_, nullptr, nullptr);
        if (accepted < 0) return false;
        ::close(accepted);
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(VserverctlTest, VersionInBothForms) {
    ToolRun text = Ctl({"version"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(text.out, "9.0\n");
    EXPECT_EQ(text.err, "");

    ToolRun json = Ctl({"version"}, true);
    EXPECT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_EQ(json.out, "{\"ok\":true,\"command\":\"version\",\"version\":\"9.0\"}\n");
}

TEST_F(VserverctlTest, SessionsShowsEveryConnectionNewestFirst) {
    client::Connection waiting = server_.Connect();   // never logs on
    client::Connection jsmith = LogOn("jsmith", "lab-3", "pc1");

    ToolRun text = Ctl({"sessions"});
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    std::vector<std::string> lines = Lines(text.out);
    ASSERT_EQ(lines.size(), 4u) << text.out;
    EXPECT_EQ(Cells(lines[0]), (std::vector<std::string>{"ACCOUNT", "LABEL", "KIND", "DETAIL"}));
    std::vector<std::string> console = Cells(lines[1]);
    ASSERT_EQ(console.size(), 4u) << lines[1];
    EXPECT_EQ(console[0], kConsole);
    EXPECT_EQ(console[2], "5");
    EXPECT_EQ(console[3], "vserverctl");
    EXPECT_EQ(Cells(lines[2]), (std::vector<std::string>{"jsmith", "lab-3", "4", "pc1"}));
    EXPECT_EQ(Cells(lines[3]), (std::vector<std::string>{"not logged on", "-", "-", "-"}));
    // The columns line up under the header.
    EXPECT_EQ(lines[2].find("lab-3"), lines[0].find("LABEL"));
    EXPECT_EQ(lines[2].find("4 "), lines[0].find("KIND"));

    ToolRun json = Ctl({"sessions"}, true);
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    ExpectJsonDocument(json, true, "sessions");
    EXPECT_NE(json.out.find("{\"account\":\"jsmith\",\"loggedOn\":true,\"label\":\"lab-3\",\"kind\":4,\"detail\":\"pc1\"}"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"account\":\"<Service Administrator Console>\",\"loggedOn\":true"), std::string::npos);
    EXPECT_NE(json.out.find("\"loggedOn\":false,\"label\":\"\",\"kind\":null,\"detail\":\"\""), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"account\":\"<Logging On, Index #"), std::string::npos);
}

TEST_F(VserverctlTest, CountLeavesOutTheConsole) {
    client::Connection first = server_.Connect();
    client::Connection second = LogOn("jsmith");

    ToolRun text = Ctl({"count"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(text.out, "2\n");

    ToolRun json = Ctl({"count"}, true);
    EXPECT_EQ(json.out, "{\"ok\":true,\"command\":\"count\",\"count\":2}\n");
}

TEST_F(VserverctlTest, LockHoldsWhileTheConsoleIsAloneAndStopsWorkstationLogons) {
    ToolRun lock = Ctl({"lock"});
    EXPECT_EQ(lock.exitStatus, 0) << lock.err;
    EXPECT_EQ(lock.out, "logons locked\n");

    ToolRun locked = Ctl({"locked"}, true);
    EXPECT_EQ(locked.exitStatus, 0) << locked.err;
    EXPECT_EQ(locked.out, "{\"ok\":true,\"command\":\"locked\",\"locked\":true}\n");

    client::Connection workstation = server_.Connect();
    Request logon;
    logon.id = 7;
    logon.type = 101;
    logon.account = "jsmith";
    logon.clientKind = 4;
    logon.version = "9.0";
    EXPECT_EQ(Hex(Exchange(workstation, logon)), Hex("1\xA7" "7\xA7" "101\xA7" "5"));
    workstation.Close();

    ToolRun unlock = Ctl({"unlock"}, true);
    EXPECT_EQ(unlock.exitStatus, 0) << unlock.err;
    EXPECT_EQ(unlock.out, "{\"ok\":true,\"command\":\"unlock\",\"locked\":false}\n");

    ToolRun notLocked = Ctl({"locked"});
    EXPECT_EQ(notLocked.exitStatus, 1);
    EXPECT_EQ(notLocked.out, "not locked\n");
    EXPECT_EQ(notLocked.err, "");
}

TEST_F(VserverctlTest, LockFailsWhileOtherClientsAreConnected) {
    client::Connection other = server_.Connect();

    ToolRun text = Ctl({"lock"});
    EXPECT_EQ(text.exitStatus, 1);
    EXPECT_EQ(text.out, "");
    EXPECT_NE(text.err.find("vserverctl: lock: logons are not locked"), std::string::npos) << text.err;
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1);

    ToolRun json = Ctl({"lock"}, true);
    EXPECT_EQ(json.exitStatus, 1);
    ExpectJsonDocument(json, false, "lock");
    EXPECT_NE(json.out.find("\"locked\":false,\"error\":\"logons are not locked"), std::string::npos) << json.out;
}

TEST_F(VserverctlTest, DisconnectEndsTheSessionAndFailsForAnUnknownAccount) {
    client::Connection jsmith = LogOn("jsmith");

    ToolRun text = Ctl({"disconnect", "jsmith"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(text.out, "disconnected jsmith\n");
    auto notice = jsmith.ReadMessage(5s);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(Hex(*notice), Hex("103\xA7" "jsmith"));
    EXPECT_FALSE(jsmith.ReadMessage(5s).has_value());
    EXPECT_TRUE(jsmith.closed());

    ToolRun unknown = Ctl({"disconnect", "jsmith"});
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "vserverctl: disconnect: no session holds account jsmith\n");

    ToolRun json = Ctl({"disconnect", "nobody"}, true);
    EXPECT_EQ(json.exitStatus, 1);
    EXPECT_EQ(json.out, "{\"ok\":false,\"command\":\"disconnect\",\"account\":\"nobody\",\"result\":false,"
                        "\"error\":\"no session holds account nobody\"}\n");
}

TEST_F(VserverctlTest, MessageAndToolbarReachTheLoggedOnClientAtOnce) {
    client::Connection jsmith = LogOn("jsmith");

    ToolRun message = Ctl({"message", "jsmith", "The library closes at four."});
    EXPECT_EQ(message.exitStatus, 0) << message.err;
    EXPECT_EQ(message.out, "message sent to jsmith\n");
    auto pushed = jsmith.ReadMessage(5s);
    ASSERT_TRUE(pushed.has_value());
    EXPECT_EQ(*pushed, "200\xA7The library closes at four.");

    ToolRun toolbar = Ctl({"toolbar", "jsmith", "Math"}, true);
    EXPECT_EQ(toolbar.exitStatus, 0) << toolbar.err;
    EXPECT_EQ(toolbar.out, "{\"ok\":true,\"command\":\"toolbar\",\"account\":\"jsmith\",\"toolbarSet\":\"Math\","
                           "\"result\":true}\n");
    pushed = jsmith.ReadMessage(5s);
    ASSERT_TRUE(pushed.has_value());
    EXPECT_EQ(*pushed, "209\xA7Math");

    ToolRun nobody = Ctl({"message", "nobody", "hi"}, true);
    EXPECT_EQ(nobody.exitStatus, 1);
    ExpectJsonDocument(nobody, false, "message");
    EXPECT_NE(nobody.err.find("no session holds account nobody"), std::string::npos);
    ToolRun nobodyToolbar = Ctl({"toolbar", "nobody", "Math"});
    EXPECT_EQ(nobodyToolbar.exitStatus, 1);
    EXPECT_EQ(nobodyToolbar.err, "vserverctl: toolbar: no session holds account nobody\n");
}

TEST_F(VserverctlTest, QueuedItemsLandInTheQueueFilesAndReachTheClient) {
    ToolRun message = Ctl({"queue-message", "jsmith", "See me after class"});
    EXPECT_EQ(message.exitStatus, 0) << message.err;
    EXPECT_EQ(message.out, "message queued for jsmith\n");
    ToolRun toolbar = Ctl({"queue-toolbar", "jsmith", "Reading"}, true);
    EXPECT_EQ(toolbar.exitStatus, 0) << toolbar.err;
    EXPECT_EQ(toolbar.out, "{\"ok\":true,\"command\":\"queue-toolbar\",\"account\":\"jsmith\",\"toolbarSet\":\"Reading\","
                           "\"result\":true}\n");

    EXPECT_EQ(Hex(ReadFile(server_.installPath("UserMessages.log"))),
              Hex(std::string("jsmith\xA6See me after class\r\n") + '\0'));
    EXPECT_EQ(Hex(ReadFile(server_.installPath("ForcedToolbarSets.log"))),
              Hex(std::string("jsmith\xA6Reading\r\n") + '\0'));

    client::Connection client = server_.Connect();
    Request collect;
    collect.id = 3;
    collect.type = 208;
    collect.account = "jsmith";
    EXPECT_EQ(Exchange(client, collect), "1\xA7" "3\xA7" "208\xA7See me after class");
}

TEST_F(VserverctlTest, AccountsAreCreatedListedAndDeleted) {
    const std::string users = server_.usersFolder();
    ToolRun create = Ctl({"create", "alice"});
    EXPECT_EQ(create.exitStatus, 0) << create.err;
    EXPECT_EQ(create.out, "created account alice\n");
    EXPECT_TRUE(PathExists(users + "/alice/ALICEVantorelSettings.vts"));

    ToolRun again = Ctl({"create", "alice"}, true);
    EXPECT_EQ(again.exitStatus, 1);
    ExpectJsonDocument(again, false, "create");
    EXPECT_NE(again.out.find("\"account\":\"alice\",\"result\":false,\"error\":"), std::string::npos) << again.out;
    EXPECT_NE(again.err.find("vserverctl: create: the server did not create account alice"), std::string::npos);

    EXPECT_EQ(Ctl({"create", "bob"}).exitStatus, 0);
    ToolRun list = Ctl({"accounts"});
    EXPECT_EQ(list.exitStatus, 0) << list.err;
    std::vector<std::string> names = Lines(list.out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob"}));
    ToolRun json = Ctl({"accounts"}, true);
    EXPECT_TRUE(json.out.find("\"accounts\":[\"alice\",\"bob\"]") != std::string::npos ||
                json.out.find("\"accounts\":[\"bob\",\"alice\"]") != std::string::npos) << json.out;

    ToolRun remove = Ctl({"delete", "alice"}, true);
    EXPECT_EQ(remove.exitStatus, 0) << remove.err;
    EXPECT_EQ(remove.out, "{\"ok\":true,\"command\":\"delete\",\"account\":\"alice\",\"result\":true}\n");
    EXPECT_FALSE(PathExists(users + "/alice"));
    ToolRun removeAgain = Ctl({"delete", "alice"});
    EXPECT_EQ(removeAgain.exitStatus, 1);
    EXPECT_NE(removeAgain.err.find("vserverctl: delete: the server did not delete account alice"), std::string::npos);
}

TEST_F(VserverctlTest, ToolbarSetsAreListedAndLookedUp) {
    const std::string users = server_.usersFolder();
    for (const char* name : {"Math", "CLASSIC", "Reading"}) WriteFile(users + "/ToolbarSet_" + name + ".vts", "[Toolbar]\r\n");

    ToolRun list = Ctl({"toolbars"});
    EXPECT_EQ(list.exitStatus, 0) << list.err;
    std::vector<std::string> names = Lines(list.out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Math", "Reading"}));
    ToolRun json = Ctl({"toolbars"}, true);
    ExpectJsonDocument(json, true, "toolbars");
    EXPECT_NE(json.out.find("\"toolbarSets\":["), std::string::npos);

    ToolRun yes = Ctl({"toolbar-exists", "Math"});
    EXPECT_EQ(yes.exitStatus, 0) << yes.err;
    EXPECT_EQ(yes.out, "yes\n");
    ToolRun no = Ctl({"toolbar-exists", "Science"}, true);
    EXPECT_EQ(no.exitStatus, 1);
    EXPECT_EQ(no.out, "{\"ok\":false,\"command\":\"toolbar-exists\",\"toolbarSet\":\"Science\",\"exists\":false}\n");
    EXPECT_EQ(no.err, "");
}

TEST_F(VserverctlTest, OptionsAreReadWrittenAndReloaded) {
    ToolRun fallback = Ctl({"option", "get", "Greeting", "none yet"});
    EXPECT_EQ(fallback.exitStatus, 0) << fallback.err;
    EXPECT_EQ(fallback.out, "none yet\n");

    ToolRun set = Ctl({"option", "set", "Greeting", "Good morning"}, true);
    EXPECT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(set.out, "{\"ok\":true,\"command\":\"option\",\"name\":\"Greeting\",\"value\":\"Good morning\","
                       "\"result\":true}\n");
    EXPECT_NE(ReadFile(server_.registryPath()).find("\"Greeting\"=\"Good morning\""), std::string::npos);

    ToolRun get = Ctl({"option", "get", "Greeting"}, true);
    EXPECT_EQ(get.exitStatus, 0) << get.err;
    EXPECT_EQ(get.out, "{\"ok\":true,\"command\":\"option\",\"name\":\"Greeting\",\"value\":\"Good morning\"}\n");

    // The reload picks up a flag written through the console: clients may no longer create
    // accounts.
    EXPECT_EQ(Ctl({"option", "set", "AllowAccountCreation", "False"}).exitStatus, 0);
    ToolRun reload = Ctl({"reload"});
    EXPECT_EQ(reload.exitStatus, 0) << reload.err;
    EXPECT_EQ(reload.out, "option flags reloaded\n");
    client::Connection client = server_.Connect();
    Request create;
    create.id = 4;
    create.type = 102;
    create.account = "carol";
    EXPECT_EQ(Exchange(client, create), "1\xA7" "4\xA7" "102\xA7" "False");
    ToolRun reloadJson = Ctl({"reload"}, true);
    EXPECT_EQ(reloadJson.out, "{\"ok\":true,\"command\":\"reload\",\"result\":true}\n");
}

TEST_F(VserverctlTest, ASecondConsoleIsRefusedWithTheReasonExplained) {
    client::Connection console = server_.Connect();
    Request logon;
    logon.id = 1;
    logon.type = 101;
    logon.account = kConsole;
    logon.clientKind = 5;
    logon.version = "9.0";
    ASSERT_EQ(Exchange(console, logon), "1\xA7" "1");

    ToolRun text = Ctl({"count"});
    EXPECT_EQ(text.exitStatus, 1);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "vserverctl: count: logon refused (code 2): another administrator console is already logged on\n");

    ToolRun json = Ctl({"count"}, true);
    EXPECT_EQ(json.exitStatus, 1);
    EXPECT_EQ(json.out, "{\"ok\":false,\"command\":\"count\",\"error\":\"logon refused (code 2): another administrator "
                        "console is already logged on\"}\n");

    // Once the first console has gone, the command line console gets in.
    console.Close();
    ToolRun later;
    for (int attempt = 0; attempt < 50; ++attempt) {
        later = Ctl({"count"});
        if (later.exitStatus == 0) break;
        usleep(20'000);
    }
    EXPECT_EQ(later.exitStatus, 0) << later.err;
}

TEST_F(VserverctlTest, AConsoleAddressListThatLeavesThisComputerOutLocksTheConsoleOut) {
    EXPECT_EQ(Ctl({"option", "set", "ConsoleAddresses", "127.0.0.2"}).exitStatus, 0);
    EXPECT_EQ(Ctl({"option", "get", "ConsoleAddresses"}).out, "127.0.0.2\n");
    EXPECT_EQ(Ctl({"reload"}).exitStatus, 0);
    ToolRun refused = Ctl({"count"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "vserverctl: count: logon refused (code 5): the server takes no console from this "
                           "computer's address (Options\\ConsoleAddresses)\n");
}

TEST_F(VserverctlTest, ThePortComesFromTheRegistryFileNextToTheServer) {
    // Installed beside the server, whose registry asks for a free port: the service log names it.
    std::string copy = server_.installPath("vserverctl");
    std::filesystem::copy_file(VserverctlPath(), copy);
    ToolRun beside = RunTool(copy, {"version"});
    EXPECT_EQ(beside.exitStatus, 0) << beside.err;
    EXPECT_EQ(beside.out, "9.0\n");

    // A registry file named by VSERVER_REGISTRY with the port in it.
    std::string registry = server_.installPath("other.reg");
    WriteFile(registry, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"
                        "\"PortNumber\"=\"" + std::to_string(server_.port()) + "\"\r\n");
    ToolRun named = RunTool(VserverctlPath(), {"version"}, {{"VSERVER_REGISTRY", registry}});
    EXPECT_EQ(named.exitStatus, 0) << named.err;
}

TEST(VserverctlErrors, AServerThatIsDownIsReportedAsUnreachable) {
    std::string port = std::to_string(ClosedPort());
    ToolRun text = RunTool(VserverctlPath(), {"--port", port, "sessions"});
    EXPECT_EQ(text.exitStatus, 3);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "vserverctl: sessions: cannot connect to 127.0.0.1:" + port + ": Connection refused\n");

    ToolRun json = RunTool(VserverctlPath(), {"--json", "--port", port, "count"});
    EXPECT_EQ(json.exitStatus, 3);
    EXPECT_EQ(json.out, "{\"ok\":false,\"command\":\"count\",\"error\":\"cannot connect to 127.0.0.1:" + port +
                            ": Connection refused\"}\n");
}

TEST(VserverctlErrors, AServerThatDoesNotAnswerTimesOut) {
    SilentListener silent;
    ToolRun run = RunTool(VserverctlPath(), {"--port", std::to_string(silent.port()), "--timeout", "0.5", "version"});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.err, "vserverctl: version: no greeting from 127.0.0.1:" + std::to_string(silent.port()) +
                           " within 500 ms\n");
    EXPECT_LT(run.took, 5s);
}

TEST(VserverctlErrors, ArgumentsWithReservedBytesAreRefusedBeforeAnythingIsSent) {
    SilentListener listener;
    std::string port = std::to_string(listener.port());
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"message", "jsmith", "one\xA7two"}, "message: argument TEXT holds the byte 0xA7"},
        {{"create", "a\xA6" "b"}, "create: argument ACCOUNT holds the byte 0xA6"},
        {{"queue-toolbar", "jsmith", "Set\xB0"}, "queue-toolbar: argument SET holds the byte 0xB0"},
        {{"option", "set", "Name", "end\xBB"}, "option: argument VALUE holds the byte 0xBB"},
        {{"option", "get", "Name", "\xA7"}, "option: argument DEFAULT holds the byte 0xA7"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"--port", port};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ToolRun run = RunTool(VserverctlPath(), arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.message;
        EXPECT_EQ(run.err, "vserverctl: " + c.message + ", which the protocol cannot carry\n");
    }
    EXPECT_FALSE(listener.SomeoneConnected());
}

TEST(VserverctlErrors, UsageErrorsAndHelp) {
    const std::string ctl = VserverctlPath();
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "vserverctl: no command given (see vserverctl --help)\n"},
        {{"frobnicate"}, "vserverctl: unknown command \"frobnicate\" (see vserverctl --help)\n"},
        {{"--verbose", "count"}, "vserverctl: unknown option --verbose (see vserverctl --help)\n"},
        {{"--port", "70000", "count"}, "vserverctl: invalid port 70000 (see vserverctl --help)\n"},
        {{"create"}, "vserverctl: create: missing arguments; usage: vserverctl create ACCOUNT\n"},
        {{"count", "extra"}, "vserverctl: count: too many arguments; usage: vserverctl count\n"},
        {{"option", "set", "Name"}, "vserverctl: option: option set needs NAME and VALUE; usage: vserverctl option get "
                                    "NAME [DEFAULT] | set NAME VALUE\n"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(ctl, c.arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.error;
        EXPECT_EQ(run.err, c.error);
    }
    ToolRun json = RunTool(ctl, {"--json", "create"});
    EXPECT_EQ(json.exitStatus, 2);
    EXPECT_EQ(json.out, "{\"ok\":false,\"command\":\"create\",\"error\":\"missing arguments; usage: vserverctl create "
                        "ACCOUNT\"}\n");

    ToolRun help = RunTool(ctl, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    ToolRun createHelp = RunTool(ctl, {"create", "--help"});
    EXPECT_EQ(createHelp.exitStatus, 0);
    EXPECT_EQ(createHelp.out.rfind("usage: vserverctl [OPTIONS] create ACCOUNT\n", 0), 0u) << createHelp.out;
    EXPECT_EQ(RunTool(ctl, {"help", "create"}).out, createHelp.out);

    // Every command has its help and its place in the manual page.
    std::string manual = ReadFile(std::filesystem::path(__FILE__).parent_path().string() +
                                  "/../../tools/vserverctl/vserverctl.1");
    ASSERT_FALSE(manual.empty());
    for (const char* command : {"sessions", "count", "lock", "unlock", "locked", "disconnect", "message", "toolbar",
                                "queue\\-message", "queue\\-toolbar", "accounts", "create", "delete", "toolbars",
                                "toolbar\\-exists", "option get", "option set", "reload", "version"}) {
        std::string name = command;
        bool inManual = manual.find("\n.B " + name + "\n") != std::string::npos ||
                        manual.find("\n.BI " + name + " ") != std::string::npos ||
                        manual.find("\n.BI \"" + name + "\"") != std::string::npos;
        EXPECT_TRUE(inManual) << name;
        std::string plain;
        for (char c : name) {
            if (c != '\\') plain += c;
        }
        plain = plain.substr(0, plain.find(' '));
        EXPECT_NE(help.out.find("\n  " + plain + " "), std::string::npos) << plain;
        EXPECT_EQ(RunTool(ctl, {plain, "--help"}).exitStatus, 0) << plain;
    }
}

} // namespace
} // namespace vserver::test
