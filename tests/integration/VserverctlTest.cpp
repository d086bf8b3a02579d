// vserverctl against the real server: every command in both output forms, the files the
// commands leave, and the error paths (server down, second console, bad argument, timeout).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "Listeners.h"
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

// The logon of a console that holds the console's place while vserverctl runs.
Request ConsoleLogon() {
    Request logon;
    logon.id = 1;
    logon.type = 101;
    logon.account = kConsole;
    logon.clientKind = 5;
    logon.version = "9.0";
    return logon;
}

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
    EXPECT_EQ(console[2], "5 console");
    EXPECT_EQ(console[3], "vserverctl");
    EXPECT_EQ(Cells(lines[2]), (std::vector<std::string>{"jsmith", "lab-3", "4 unchecked workstation", "pc1"}));
    EXPECT_EQ(Cells(lines[3]), (std::vector<std::string>{"not logged on", "-", "-", "-"}));
    // The columns line up under the header.
    EXPECT_EQ(lines[2].find("lab-3"), lines[0].find("LABEL"));
    EXPECT_EQ(lines[2].find("4 "), lines[0].find("KIND"));

    ToolRun json = Ctl({"sessions"}, true);
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    ExpectJsonDocument(json, true, "sessions");
    EXPECT_NE(json.out.find("{\"account\":\"jsmith\",\"loggedOn\":true,\"label\":\"lab-3\",\"kind\":4,"
                            "\"kindName\":\"unchecked workstation\",\"detail\":\"pc1\"}"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"kind\":5,\"kindName\":\"console\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"account\":\"<Service Administrator Console>\",\"loggedOn\":true"), std::string::npos);
    EXPECT_NE(json.out.find("\"loggedOn\":false,\"label\":\"\",\"kind\":null,\"kindName\":null,\"detail\":\"\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"account\":\"<Logging On, Index #"), std::string::npos);
}

// Scripts run the console one command after another: each run must find the console logon
// free again, however slowly the server notices that the run before has gone.
TEST_F(VserverctlTest, RunsOneAfterAnotherEachLogOnAsTheConsole) {
    for (int run = 0; run < 12; ++run) {
        ToolRun count = Ctl({"count"});
        ASSERT_EQ(count.exitStatus, 0) << "run " << run << ": " << count.err;
    }
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
    ToolRun notLockedJson = Ctl({"locked"}, true);
    EXPECT_EQ(notLockedJson.exitStatus, 1);
    EXPECT_EQ(notLockedJson.out, "{\"ok\":true,\"command\":\"locked\",\"locked\":false}\n");
    EXPECT_EQ(notLockedJson.err, "");
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
    // The question was answered: "ok" is true, and the exit status carries the answer.
    EXPECT_EQ(no.out, "{\"ok\":true,\"command\":\"toolbar-exists\",\"toolbarSet\":\"Science\",\"exists\":false}\n");
    EXPECT_EQ(no.err, "");
}

TEST_F(VserverctlTest, OptionsAreReadWrittenAndReloaded) {
    ToolRun fallback = Ctl({"option", "get", "Greeting", "none yet"});
    EXPECT_EQ(fallback.exitStatus, 0) << fallback.err;
    EXPECT_EQ(fallback.out, "Options\\Greeting = none yet (not stored; the default given)\n");

    // A name the server does not read is stored only when asked for with --force.
    ToolRun refused = Ctl({"option", "set", "Greeting", "Good morning"});
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_NE(refused.err.find("the server does not use an option named \"Greeting\""), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("give --force"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(server_.registryPath()).find("Greeting"), std::string::npos);

    ToolRun set = Ctl({"option", "set", "Greeting", "--force", "Good morning"}, true);
    EXPECT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(set.out, "{\"ok\":true,\"command\":\"option\",\"name\":\"Greeting\",\"value\":\"Good morning\","
                       "\"result\":true,\"warnings\":[\"the server does not use an option named \\\"Greeting\\\" (it reads "
                       "AllowAccountCreation, LogUserStatistics, AllowConsoleRequestsFromAnyConnection, "
                       "LivenessTimeoutSeconds, ConsoleAddresses, MaxConnectionsPerAddress and "
                       "ConsoleOnlySharedFiles)\"]}\n");
    EXPECT_NE(set.err.find("vserverctl: option: warning: the server does not use"), std::string::npos) << set.err;
    EXPECT_NE(ReadFile(server_.registryPath()).find("\"Greeting\"=\"Good morning\""), std::string::npos);

    ToolRun get = Ctl({"option", "get", "Greeting"}, true);
    EXPECT_EQ(get.exitStatus, 0) << get.err;
    EXPECT_EQ(get.out, "{\"ok\":true,\"command\":\"option\",\"name\":\"Greeting\",\"value\":\"Good morning\","
                       "\"stored\":true}\n");
    EXPECT_EQ(Ctl({"option", "get", "Greeting"}).out, "Options\\Greeting = Good morning\n");

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
    ASSERT_EQ(Exchange(console, ConsoleLogon()), "1\xA7" "1");

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
    EXPECT_EQ(Ctl({"option", "get", "ConsoleAddresses"}).out, "Options\\ConsoleAddresses = 127.0.0.2\n");
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

TEST_F(VserverctlTest, OptionListShowsEveryOptionWithItsEffectiveValueAndDefault) {
    ASSERT_EQ(Ctl({"option", "set", "LogUserStatistics", "yes"}).exitStatus, 0);
    ASSERT_EQ(Ctl({"option", "set", "--force", "Greeting", "hello"}).exitStatus, 0);
    ToolRun set = Ctl({"option", "set", "AllowAccountCreation", "FALSE"});
    EXPECT_EQ(set.err, "vserverctl: option: warning: the server reads \"FALSE\" as False\n");

    // The listing knows the options the server does not read from the registry file beside it.
    const std::string copy = server_.installPath("vserverctl");
    std::filesystem::copy_file(VserverctlPath(), copy);
    ToolRun list = RunTool(copy, {"option", "list"});
    ASSERT_EQ(list.exitStatus, 0) << list.err;
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(list.out)) rows.push_back(Cells(line));
    const std::vector<std::vector<std::string>> expected = {
        {"NAME", "STORED", "EFFECTIVE", "DEFAULT"},
        {"AllowAccountCreation", "FALSE", "False", "True"},
        {"LogUserStatistics", "yes", "False", "False"},
        {"AllowConsoleRequestsFromAnyConnection", "-", "False", "False"},
        {"LivenessTimeoutSeconds", "-", "10", "10"},
        {"ConsoleAddresses", "-", "-", "-"},
        {"MaxConnectionsPerAddress", "-", "-", "-"},
        {"ConsoleOnlySharedFiles", "-", "False", "False"},
        {"Greeting", "hello", "hello", "-"},
    };
    EXPECT_EQ(rows, expected) << list.out;

    ToolRun json = RunTool(copy, {"option", "list", "--json"});
    EXPECT_NE(json.out.find("{\"name\":\"LivenessTimeoutSeconds\",\"stored\":null,\"effective\":\"10\",\"default\":\"10\","
                            "\"usedByServer\":true}"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"name\":\"Greeting\",\"stored\":\"hello\",\"effective\":\"hello\",\"default\":null,"
                            "\"usedByServer\":false}"),
              std::string::npos) << json.out;

    // A known option that is not stored reads as the server's own default, named as such.
    EXPECT_EQ(Ctl({"option", "get", "LivenessTimeoutSeconds"}).out,
              "Options\\LivenessTimeoutSeconds = 10 (not stored; the server's default)\n");
}

TEST_F(VserverctlTest, AccountsAreSortedWithoutRegardToCase) {
    for (const char* name : {"bob", "Alice", "carol", "Dave"}) ASSERT_EQ(Ctl({"create", name}).exitStatus, 0);
    EXPECT_EQ(Ctl({"accounts"}).out, "Alice\nbob\ncarol\nDave\n");
    EXPECT_NE(Ctl({"accounts"}, true).out.find("\"accounts\":[\"Alice\",\"bob\",\"carol\",\"Dave\"]"), std::string::npos);
}

TEST_F(VserverctlTest, OptionsStandAnywhereInEitherForm) {
    const std::string port = std::to_string(server_.port());
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"count", "--json", "--port=" + port},
                                                      {"count", "--port", port, "--json"},
                                                      {"--json", "count", "--timeout=5", "--port=" + port}}) {
        ToolRun run = RunTool(VserverctlPath(), arguments);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, "{\"ok\":true,\"command\":\"count\",\"count\":0}\n");
    }
    // "--" ends the options, so a text may begin with "-".
    client::Connection jsmith = LogOn("jsmith");
    ToolRun message = RunTool(VserverctlPath(), {"message", "--port=" + port, "--", "jsmith", "-5 minutes to go"});
    EXPECT_EQ(message.exitStatus, 0) << message.err;
    auto pushed = jsmith.ReadMessage(5s);
    ASSERT_TRUE(pushed.has_value());
    EXPECT_EQ(*pushed, "200\xA7-5 minutes to go");
}

TEST_F(VserverctlTest, VersionOptionNamesTheToolAndTheServer) {
    const std::string port = "--port=" + std::to_string(server_.port());
    ToolRun both = RunTool(VserverctlPath(), {"--version", port});
    EXPECT_EQ(both.exitStatus, 0) << both.err;
    EXPECT_EQ(both.out, "vserverctl 9.0.0\nserver 9.0\n");
    ToolRun json = RunTool(VserverctlPath(), {"--version", "--json", port});
    EXPECT_EQ(json.out, "{\"ok\":true,\"command\":\"version\",\"vserverctl\":\"9.0.0\",\"server\":\"9.0\"}\n");

    EXPECT_EQ(server_.Stop(SIGTERM), 0);
    ToolRun alone = RunTool(VserverctlPath(), {"--version", port});
    EXPECT_EQ(alone.exitStatus, 0);
    EXPECT_EQ(alone.out.rfind("vserverctl 9.0.0\nserver not reachable: cannot connect to 127.0.0.1:", 0), 0u) << alone.out;
}

TEST_F(VserverctlTest, StatusTellsTheStateAndWhereEverythingIs) {
    const std::string copy = server_.installPath("vserverctl");
    std::filesystem::copy_file(VserverctlPath(), copy);
    client::Connection jsmith = LogOn("jsmith");

    ToolRun text = RunTool(copy, {"status"});
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    std::map<std::string, std::string> facts;
    for (const std::string& line : Lines(text.out)) {
        std::vector<std::string> cells = Cells(line);
        ASSERT_EQ(cells.size(), 2u) << line;
        facts[cells[0]] = cells[1];
    }
    EXPECT_EQ(facts["server version"], "9.0");
    // A Windows server has a process id of its own, which the test cannot know.
    const std::string pid = WindowsServer() ? facts["process id"].substr(0, facts["process id"].find(','))
                                            : std::to_string(server_.pid());
    EXPECT_FALSE(pid.empty());
    EXPECT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << pid;
    EXPECT_EQ(facts["process id"].rfind(pid + ", up ", 0), 0u) << facts["process id"];
    EXPECT_EQ(facts["port"], std::to_string(server_.port()) + " on 127.0.0.1");
    EXPECT_EQ(facts["installation folder"], server_.folder() + "/");
    EXPECT_EQ(facts["registry file"], server_.registryPath());
    EXPECT_EQ(facts["master path"], ServerPath(server_.folder() + "/master"));
    EXPECT_EQ(facts["connections"], "1 (without consoles)");
    EXPECT_EQ(facts["console logged on"], "no");
    EXPECT_EQ(facts["logons"], "not locked");

    ToolRun json = RunTool(copy, {"status", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    ExpectJsonDocument(json, true, "status");
    EXPECT_NE(json.out.find("\"version\":\"9.0\",\"pid\":" + pid + ",\"uptimeSeconds\":"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"connections\":1,\"consoleLoggedOn\":false,\"locked\":false}"), std::string::npos)
        << json.out;

    // Another console holds the console logon: status says so instead of failing.
    client::Connection console = server_.Connect();
    ASSERT_EQ(Exchange(console, ConsoleLogon()), "1\xA7" "1");
    ToolRun held = RunTool(copy, {"status", "--json"});
    EXPECT_EQ(held.exitStatus, 0) << held.err;
    EXPECT_NE(held.out.find("\"connections\":null,\"consoleLoggedOn\":true,\"locked\":null}"), std::string::npos)
        << held.out;

    // A stopped server: the files still tell where things are, and the status is 3.
    console.Close();
    jsmith.Close();
    EXPECT_EQ(server_.Stop(SIGTERM), 0);
    ToolRun down = RunTool(copy, {"status"});
    EXPECT_EQ(down.exitStatus, 3);
    EXPECT_NE(down.out.find("no server runs from this folder"), std::string::npos) << down.out;
    EXPECT_NE(down.out.find(server_.registryPath()), std::string::npos) << down.out;
    EXPECT_NE(down.err.find("cannot connect"), std::string::npos) << down.err;
}

TEST_F(VserverctlTest, LogPrintsTheServiceLogAsLines) {
    const std::string copy = server_.installPath("vserverctl");
    std::filesystem::copy_file(VserverctlPath(), copy);
    ASSERT_EQ(Ctl({"delete", "nobody"}).exitStatus, 1);   // leaves a line in the service log
    const std::vector<std::string> texts = server_.ServiceLogTexts();

    ToolRun all = RunTool(copy, {"log"});
    ASSERT_EQ(all.exitStatus, 0) << all.err;
    EXPECT_EQ(all.out.find('\0'), std::string::npos);
    EXPECT_EQ(all.out.find('\r'), std::string::npos);
    std::vector<std::string> lines = Lines(all.out);
    ASSERT_EQ(lines.size(), texts.size()) << all.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(lines[i].find('\t', lines[i].find('\t') + 1) + 1), texts[i]);
    }

    ToolRun last = RunTool(copy, {"log", "-n", "1"});
    EXPECT_EQ(Lines(last.out), std::vector<std::string>{lines.back()});
    ToolRun json = RunTool(copy, {"--json", "log", "--lines=1"});
    EXPECT_NE(json.out.find("\"records\":[{\"date\":\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"text\":" + std::string("\"") + texts.back() + "\"}]"), std::string::npos) << json.out;

    // Following: a record written while it runs is printed too (the tool runs until ended).
    std::thread writer([this] {
        std::this_thread::sleep_for(500ms);
        Ctl({"delete", "somebody"});
    });
    ToolRun follow = RunTool(copy, {"log", "-n", "0", "--follow"}, {}, 4s);
    writer.join();
    EXPECT_EQ(follow.exitStatus, -1);
    EXPECT_NE(follow.out.find("somebody"), std::string::npos) << follow.out;
    EXPECT_EQ(follow.out.find("nobody"), std::string::npos) << follow.out;

    std::filesystem::remove(server_.installPath("ServiceLog.log"));
    ToolRun missing = RunTool(copy, {"log"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.err.rfind("vserverctl: log: cannot read the service log " + server_.installPath("ServiceLog.log"), 0),
              0u) << missing.err;
}

TEST(VserverctlPort, TheConsoleReadsAPortNumberAsTheServerDoes) {
    // "abc" reads as 0, so the server lets the system choose and names the port in its log; the
    // console beside it reads the same 0 and finds the port there.
    ServerOptions options;
    options.portNumber = "abc";
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string copy = server.installPath("vserverctl");
    std::filesystem::copy_file(VserverctlPath(), copy);
    ToolRun version = RunTool(copy, {"version"});
    EXPECT_EQ(version.exitStatus, 0) << version.err;
    EXPECT_EQ(version.out, "9.0\n");
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
        {{"message", "jsmith", "one\xA7two"}, "message: argument TEXT holds the byte 0xA7 (the character \u00a7 in "
                                                 "Windows-1252; also part of some UTF-8 characters) at byte 4"},
        {{"create", "a\xA6" "b"}, "create: argument ACCOUNT holds the byte 0xA6 (the character \u00a6 in Windows-1252; "
                                  "also part of some UTF-8 characters) at byte 2"},
        // "\u00b0" typed in a UTF-8 terminal is C2 B0: the second byte is the reserved one.
        {{"queue-toolbar", "jsmith", "Set\u00b0"}, "queue-toolbar: argument SET holds the byte 0xB0 (the character "
                                                  "\u00b0 in Windows-1252; also part of some UTF-8 characters) at byte 5"},
        {{"option", "set", "--force", "Name", "end\xBB"}, "option: argument VALUE holds the byte 0xBB (the character "
                                                        "\u00bb in Windows-1252; also part of some UTF-8 characters) at byte 4"},
        {{"option", "get", "Name", "\xA7"}, "option: argument DEFAULT holds the byte 0xA7 (the character \u00a7 in "
                                            "Windows-1252; also part of some UTF-8 characters) at byte 1"},
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
        {{"create"}, "vserverctl: create: missing arguments; usage: vserverctl create ACCOUNT | --from FILE [--dry-run]\n"},
        {{"count", "extra"}, "vserverctl: count: too many arguments; usage: vserverctl count\n"},
        {{"option", "set", "Name"}, "vserverctl: option: option set needs NAME and VALUE; usage: vserverctl option get "
                                    "NAME [DEFAULT] | set [--force] NAME VALUE | list\n"},
        {{"--port=0", "count"}, "vserverctl: invalid port 0 (see vserverctl --help)\n"},
        {{"count", "--port"}, "vserverctl: missing value after --port (see vserverctl --help)\n"},
        {{"count", "--force"}, "vserverctl: count: --force belongs to option set; usage: vserverctl count\n"},
        {{"option", "get", "-n", "3", "Name"}, "vserverctl: option: -n and --follow belong to log; usage: vserverctl "
                                              "option get NAME [DEFAULT] | set [--force] NAME VALUE | list\n"},
        {{"log", "-n", "x"}, "vserverctl: invalid number of records x (see vserverctl --help)\n"},
        {{"--json", "log", "--follow"}, "vserverctl: log: --follow prints text, not JSON; usage: vserverctl log [-n N] "
                                        "[--follow]\n"},
        {{"option", "list", "extra"}, "vserverctl: option: option list takes no arguments; usage: vserverctl option get "
                                      "NAME [DEFAULT] | set [--force] NAME VALUE | list\n"},
        {{"count", "--csv"}, "vserverctl: count: --file, --to, --csv, --by and --html belong to report; usage: "
                             "vserverctl count\n"},
        {{"create", "--dry-run", "amy"}, "vserverctl: create: --dry-run belongs to create and delete --from, and message "
                                         "and disconnect --all; usage: vserverctl create ACCOUNT | --from FILE [--dry-run]\n"},
        {{"create", "--from", "names.txt", "amy"}, "vserverctl: create: too many arguments; usage: vserverctl create "
                                                   "ACCOUNT | --from FILE [--dry-run]\n"},
        {{"message", "--all"}, "vserverctl: message: missing arguments; usage: vserverctl message ACCOUNT TEXT | --all "
                               "TEXT [--dry-run]\n"},
        {{"lock", "--all"}, "vserverctl: lock: --all belongs to message and disconnect; usage: vserverctl lock\n"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(ctl, c.arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.error;
        EXPECT_EQ(run.err, c.error);
    }
    // The report's options are checked before any file is read.
    const std::string reportUsage = "usage: vserverctl report [--from DATE] [--to DATE] [--file FILE]... [FILE...] "
                                    "[--csv [--by TABLE]] [--html PAGE]\n";
    const std::vector<Case> reportCases = {
        {{"report", "--csv", "--json"}, "--csv and --json each print the report; give one; "},
        {{"report", "--by", "days"}, "--by chooses the table --csv prints; "},
        {{"report", "--csv", "--by", "people"},
         "unknown table \"people\" (accounts, workstations, days, hours, events or unreadable); "},
        {{"report", "--from", "2008-02-30"}, "invalid date 2008-02-30 (YYYY-MM-DD or MM/DD/YY); "},
        {{"report", "--from", "2008-02-01", "--to", "01/31/08"}, "--to 01/31/08 lies before --from 2008-02-01; "},
    };
    for (const Case& c : reportCases) {
        ToolRun run = RunTool(ctl, c.arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.error;
        EXPECT_EQ(run.err, "vserverctl: report: " + c.error + reportUsage);
    }
    // A check that cannot run is UNKNOWN to a monitoring system.
    ToolRun threshold = RunTool(ctl, {"check", "-w", "ten"});
    EXPECT_EQ(threshold.exitStatus, 3);
    EXPECT_NE(threshold.err.find("invalid threshold \"ten\""), std::string::npos) << threshold.err;
    EXPECT_EQ(RunTool(ctl, {"check", "--verbose"}).exitStatus, 3);

    // PortNumber lives under Connection: setting it as an option is refused with the reason.
    ToolRun port = RunTool(ctl, {"option", "set", "portnumber", "1007"});
    EXPECT_EQ(port.exitStatus, 2);
    EXPECT_NE(port.err.find("PortNumber is not an option: the server reads it from the Connection key"), std::string::npos)
        << port.err;
    ToolRun json = RunTool(ctl, {"--json", "create"});
    EXPECT_EQ(json.exitStatus, 2);
    EXPECT_EQ(json.out, "{\"ok\":false,\"command\":\"create\",\"error\":\"missing arguments; usage: vserverctl create "
                        "ACCOUNT | --from FILE [--dry-run]\"}\n");

    ToolRun help = RunTool(ctl, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    ToolRun createHelp = RunTool(ctl, {"create", "--help"});
    EXPECT_EQ(createHelp.exitStatus, 0);
    EXPECT_EQ(createHelp.out.rfind("usage: vserverctl [OPTIONS] create ACCOUNT | --from FILE [--dry-run]\n", 0), 0u)
        << createHelp.out;
    EXPECT_EQ(RunTool(ctl, {"help", "create"}).out, createHelp.out);

    // Every command has its help and its place in the manual page.
    std::string manual = ReadFile(std::filesystem::path(__FILE__).parent_path().string() +
                                  "/../../tools/vserverctl/vserverctl.1");
    ASSERT_FALSE(manual.empty());
    for (const char* command : {"sessions", "count", "lock", "unlock", "locked", "disconnect", "message", "toolbar",
                                "queue\\-message", "queue\\-toolbar", "accounts", "create", "delete", "toolbars",
                                "toolbar\\-exists", "option get", "option set", "option list", "reload", "version", "status",
                                "log", "report", "check"}) {
        std::string name = command;
        bool inManual = manual.find("\n.B " + name + "\n") != std::string::npos ||
                        manual.find("\n.B " + name + " \\fR") != std::string::npos ||
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
