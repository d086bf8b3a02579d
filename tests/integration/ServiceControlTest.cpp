// The program as installer and service: start-up decisions from the registry file, the
// registration switches, installation into a service manager redirected to the test's own
// folder, and the notify protocol spoken to a socket the test holds.

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "ServerHarness.h"
#include "ToolProcess.h"
#include "support/NotifyListener.h"

namespace vserver::test {
namespace {

namespace fs = std::filesystem;

const std::string kGuidKey = std::string("[HKEY_CLASSES_ROOT\\AppID\\") + kAppIdGuid + "]";
const std::string kExeKey = "[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]";

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A stand-in for systemd: a unit folder and a systemctl that records each call and exits with
// the status the test chooses.
class FakeServiceManager {
public:
    FakeServiceManager() {
        MakeFolder(folder_ / "units");
        WriteFile(systemctl(), "#!/bin/sh\n"
                               "here=$(dirname \"$0\")\n"
                               "echo \"$*\" >> \"$here/calls.log\"\n"
                               "exit \"$(cat \"$here/status\")\"\n");
        ::chmod(systemctl().c_str(), 0755);
        SetExitStatus(0);
    }
    void SetExitStatus(int status) { WriteFile(folder_ / "status", std::to_string(status) + "\n"); }
    std::string systemctl() const { return folder_ / "systemctl"; }
    std::string unitFolder() const { return folder_ / "units"; }
    std::string unitPath() const { return folder_ / "units/VServerService.service"; }
    std::vector<std::string> Calls() const { return Lines(ReadFile(folder_ / "calls.log")); }
    std::map<std::string, std::string> Environment() const {
        return {{"VSERVER_SYSTEMD_UNIT_DIR", unitFolder()}, {"VSERVER_SYSTEMCTL", systemctl()}};
    }

private:
    TempFolder folder_;
};

using vserver::test::NotifyListener;

// The lines of live figures a serving service sends beside its states.
const std::string kFigures = "STATUS=Running: ";

// ---- Start-up without a registration switch ------------------------------------------------

TEST(ServiceStartUp, AnUnregisteredProgramEndsWithTheReasonInTheServiceLogAndOnStandardError) {
    ServerOptions options;
    options.registered = false;
    options.arguments = {"-Service", "-", "/x", "-Reg"};
    ServerProcess server(options);
    const std::string hive = "Can't open registry hive for reading";
    const std::string remedy = "run VServerService -RegServer";

    const std::string registry = ServerPath(server.registryPath());
    server.Launch();
    ExpectStartUpFailure(server, hive, {registry, "has no key HKEY_CLASSES_ROOT\\AppID", remedy});
    EXPECT_EQ(server.ServiceLogTexts().size(), 2u);

    // A missing registry file is an empty registry, and reading it creates nothing.
    fs::remove(server.registryPath());
    fs::remove(server.installPath("ServiceLog.log"));
    server.Relaunch({});
    ExpectStartUpFailure(server, hive, {registry, "does not exist", remedy});
    EXPECT_FALSE(PathExists(server.registryPath()));

    // A registry file that cannot be read at all: a second line and the screen say why.
    fs::remove(server.installPath("ServiceLog.log"));
    MakeFolder(server.registryPath());
    server.Relaunch({});
    ExpectStartUpFailure(server, hive, {registry, "cannot be read", "Is a directory"});
    fs::remove_all(server.registryPath());

    // A line that cannot be read hides the keys: its number and the reason are given.
    fs::remove(server.installPath("ServiceLog.log"));
    WriteFile(server.registryPath(), "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\r\n@=\"x\"\r\n");
    server.Relaunch({});
    ExpectStartUpFailure(server, hive,
                         {registry, "line 3: key without closing bracket; its values are skipped"});

    // The AppID key without this program's key.
    fs::remove(server.installPath("ServiceLog.log"));
    WriteFile(server.registryPath(), "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\{00000000-0000-0000-0000-000000000000}]\r\n@=\"Other\"\r\n");
    server.Relaunch({});
    ExpectStartUpFailure(server, "Can't open registry object GUID for reading",
                         {registry, std::string("has no key HKEY_CLASSES_ROOT\\AppID\\") + kAppIdGuid, remedy});
}

TEST(ServiceStartUp, RegisteredWithoutLocalServiceServesAsAPlainProcess) {
    TempFolder sockets;
    NotifyListener manager(sockets / "notify.sock");
    ServerOptions options;
    options.environment = {{"NOTIFY_SOCKET", manager.address()}};
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();
    EXPECT_TRUE(server.Connect().is_open());
    EXPECT_EQ(server.Stop(SIGTERM), 0);

    // It never spoke to the service manager, and its events went to standard output. (The
    // Windows server has no notify socket to speak to.)
    if (!WindowsServer()) {
        EXPECT_EQ(manager.Receive(200ms), "<nothing>");
    }
    EXPECT_TRUE(Contains(server.StandardOutput(), "Service started\n")) << server.StandardOutput();
    EXPECT_FALSE(Contains(server.StandardOutput(), "Service stopped"));
    ASSERT_FALSE(server.ServiceLogTexts().empty());
    EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
}

TEST(ServiceStartUp, StartedByHandWhileRegisteredAsAServiceItServesUntilInterrupted) {
    ServerOptions options;
    options.withLocalService = true;
    options.arguments = {"-Service"};
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();
    EXPECT_TRUE(server.Connect().is_open());
    EXPECT_EQ(server.Stop(SIGINT), 0);

    EXPECT_TRUE(Contains(server.StandardOutput(), "Service started\n")) << server.StandardOutput();
    ASSERT_FALSE(server.ServiceLogTexts().empty());
    EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
    for (const auto& text : server.ServiceLogTexts()) EXPECT_NE(text, "Handler not installed");
}

TEST(ServiceStartUp, UnderTheServiceManagerStatesGoOutAsNotifications) {
    SKIP_FOR_WINDOWS_SERVER("the systemd notify socket; the Windows service manager is tested in WindowsServiceTest");
    TempFolder sockets;
    const std::string abstractName = "@vserver-test-notify-" + std::to_string(::getpid());
    for (const std::string& address : {sockets / "notify.sock", abstractName}) {
        SCOPED_TRACE(address);
        NotifyListener manager(address);
        ServerOptions options;
        options.withLocalService = true;
        options.arguments = {"-Service"};
        options.environment = {{"NOTIFY_SOCKET", address}};
        ServerProcess server(options);
        ASSERT_TRUE(server.Start()) << server.failure();

        EXPECT_EQ(manager.Receive(), "STATUS=Starting");
        EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");
        auto client = server.Connect();
        EXPECT_TRUE(client.is_open());

        ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
        EXPECT_EQ(manager.ReceiveSkipping(kFigures), "STOPPING=1\nSTATUS=Stopping");
        EXPECT_EQ(manager.Receive(), "STATUS=Stopped");
        EXPECT_EQ(server.WaitExit(), 0);

        // Events of a service go to the system log, not to standard output.
        EXPECT_FALSE(Contains(server.StandardOutput(), "Service started")) << server.StandardOutput();
        ASSERT_FALSE(server.ServiceLogTexts().empty());
        EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
    }
}

TEST(ServiceStartUp, TheStopControlEndsTheServiceWhileALivenessCheckWaits) {
    SKIP_FOR_WINDOWS_SERVER("the systemd notify socket; the Windows service manager is tested in WindowsServiceTest");
    TempFolder sockets;
    NotifyListener manager(sockets / "notify.sock");
    ServerOptions options;
    options.withLocalService = true;
    options.environment = {{"NOTIFY_SOCKET", manager.address()}};
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();
    MakeFolder(server.usersFolder() + "/jsmith");
    EXPECT_EQ(manager.Receive(), "STATUS=Starting");
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");

    client::Request logon;
    logon.id = 7;
    logon.type = 101;
    logon.account = "jsmith";
    logon.label = "Room 4";
    logon.clientKind = 1;
    logon.version = "9.0";
    auto first = server.Connect();
    EXPECT_EQ(Exchange(first, logon).substr(0, 1), "1");

    // A second logon of the same account makes the server ask the first one whether it is
    // still there; the first never answers, so the server would wait ten seconds.
    auto second = server.Connect();
    ASSERT_TRUE(second.Send(logon));
    auto check = first.ReadMessage(5s);
    ASSERT_TRUE(check.has_value());
    EXPECT_EQ(check->substr(0, 1), "2");

    auto stopping = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(manager.ReceiveSkipping(kFigures), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(server.WaitExit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
    EXPECT_EQ(manager.Receive(), "STATUS=Stopped");
    EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
}

// Waits for the figures line expected, past lines of figures that were true on the way.
bool WaitForFigures(NotifyListener& manager, const std::string& expected) {
    for (;;) {
        const std::string line = manager.Receive(30s);
        if (line == expected) return true;
        if (line.rfind(kFigures, 0) != 0) {
            ADD_FAILURE() << "waiting for \"" << expected << "\", got \"" << line << "\"";
            return false;
        }
    }
}

TEST(ServiceStartUp, UnderTheServiceManagerTheStatusLineShowsConnectionsSessionsAndTheLock) {
    SKIP_FOR_WINDOWS_SERVER("the systemd notify socket; the Windows service manager shows no status text");
    TempFolder sockets;
    NotifyListener manager(sockets / "notify.sock");
    ServerOptions options;
    options.withLocalService = true;
    options.arguments = {"-Service"};
    options.environment = {{"NOTIFY_SOCKET", manager.address()}};
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();
    MakeFolder(server.usersFolder() + "/amy");
    EXPECT_EQ(manager.Receive(), "STATUS=Starting");
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");
    EXPECT_TRUE(WaitForFigures(manager, kFigures + "0 connections, 0 sessions, logons open"));

    // A connection that has not logged on counts as a connection, not as a session.
    client::Connection waiting = server.Connect();
    client::Connection amy = server.Connect();
    client::Request logon{.id = 1, .type = 101, .label = "Room 12", .account = "amy", .clientKind = 1, .version = "9.0"};
    EXPECT_EQ(Hex(Exchange(amy, logon)), Hex("1\xA7" "1"));
    EXPECT_TRUE(WaitForFigures(manager, kFigures + "2 connections, 1 session, logons open"));

    // A console alone locks logons; the console is a connection and no session.
    waiting.Close();
    amy.Close();
    client::Connection console = server.Connect();
    logon.account = "<Service Administrator Console>";
    logon.clientKind = 5;
    EXPECT_EQ(Hex(Exchange(console, logon)), Hex("1\xA7" "1"));
    // Once the server has closed the other two, the lock holds.
    EXPECT_TRUE(WaitForFigures(manager, kFigures + "1 connection, 0 sessions, logons open"));
    client::Request lock{.id = 2, .type = 800, .account = logon.account, .argument1 = "1"};
    EXPECT_EQ(Hex(Exchange(console, lock)), Hex(Completion(2, 800, "True")));
    EXPECT_TRUE(WaitForFigures(manager, kFigures + "1 connection, 0 sessions, logons locked"));
    // Figures that stay the same are not sent again (the figures are looked at every 2 s).
    EXPECT_EQ(manager.Receive(3s), "<nothing>");

    // Once stopping, the manager shows the stop, not figures.
    ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(manager.Receive(), "STATUS=Stopped");
    EXPECT_EQ(server.WaitExit(), 0);
}

TEST(ServiceStartUp, AnUnusableNotifySocketMeansTheHandlerIsNotInstalled) {
    SKIP_FOR_WINDOWS_SERVER("the systemd notify socket; the Windows service manager is tested in WindowsServiceTest");
    ServerOptions options;
    options.withLocalService = true;
    options.environment = {{"NOTIFY_SOCKET", "relative/notify.sock"}};
    ServerProcess server(options);
    server.Launch();
    ExpectStartUpFailure(server, "Handler not installed", {"relative/notify.sock", "cannot be reached"});
    EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
    EXPECT_EQ(server.ServiceLogTexts().size(), 3u);
}


// ---- Folders named by the environment -------------------------------------------------------

// A packaged service keeps its log and its queue files where the system keeps logs and variable
// data; nothing of it lands beside the executable, and the console finds the port in that log.
TEST(ServiceFolders, TheLogAndTheQueuesGoWhereTheEnvironmentSays) {
    TempFolder elsewhere;
    const std::string logs = elsewhere / "log";
    const std::string data = elsewhere / "lib";
    MakeFolder(logs);
    MakeFolder(data);
    ServerOptions options;
    options.environment = {{"VSERVER_LOG_FOLDER", logs + "/"}, {"VSERVER_DATA_FOLDER", data}};
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.failure();

    // PortNumber is 0, so the console must read the port from the log in the named folder.
    ToolRun queued = RunTool(VserverctlPath(), {"queue-message", "jsmith", "Hello"},
                             {{"VSERVER_REGISTRY", server.registryPath()}, {"VSERVER_LOG_FOLDER", logs}});
    EXPECT_EQ(queued.exitStatus, 0) << queued.err;
    EXPECT_EQ(ReadFile(data + "/UserMessages.log"), std::string("jsmith\xA6Hello\r\n\0", 15));
    EXPECT_EQ(server.Stop(SIGTERM), 0);

    ASSERT_FALSE(server.ServiceLogTexts().empty());
    EXPECT_EQ(server.ServiceLogTexts().back(), "Service ending normally");
    for (const char* name : {"ServiceLog.log", "UserMessages.log", "ForcedToolbarSets.log"}) {
        EXPECT_FALSE(PathExists(server.installPath(name))) << name;
    }
}

// ---- Registration switches -----------------------------------------------------------------

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_FOR_WINDOWS_SERVER("registration reaches the Wine service manager; tested in WindowsServiceTest");
    }
    ServerOptions Unregistered() {
        ServerOptions options;
        options.registered = false;
        options.environment = manager.Environment();
        return options;
    }
    static void ExpectRegistered(const std::string& registry) {
        EXPECT_TRUE(Contains(registry, kGuidKey + "\r\n@=\"VServerService\"\r\n")) << registry;
        EXPECT_TRUE(Contains(registry, "\"LocalService\"=\"VServerService\"\r\n")) << registry;
        EXPECT_TRUE(Contains(registry, "\"ServiceParameters\"=\"-Service\"\r\n")) << registry;
        EXPECT_TRUE(Contains(registry, kExeKey + "\r\n\"AppID\"=\"" + kAppIdGuid + "\"\r\n")) << registry;
        EXPECT_TRUE(Contains(registry, "\"MasterPath\"=")) << "settings must survive: " << registry;
    }

    // A never-registered installation that has just run -RegServer.
    std::unique_ptr<ServerProcess> RegisterFresh() {
        ServerOptions options = Unregistered();
        options.arguments = {"-RegServer"};
        auto server = std::make_unique<ServerProcess>(options);
        server->Launch();
        return server;
    }

    FakeServiceManager manager;
};

TEST_F(Registration, RegServerTwiceReinstallsTheServiceAndWritesTheSameKeys) {
    auto registered = RegisterFresh();
    ServerProcess& server = *registered;
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    const std::string first = ReadFile(server.registryPath());
    ExpectRegistered(first);
    EXPECT_EQ(server.StandardError(), "");

    const std::string unit = ReadFile(manager.unitPath());
    EXPECT_TRUE(Contains(unit, "Description=Vantorel Server Service\n")) << unit;
    EXPECT_TRUE(Contains(unit, "Type=notify\n")) << unit;
    EXPECT_TRUE(Contains(unit, "ExecStart=" + server.installPath("VServerService") + " -Service\n")) << unit;
    EXPECT_TRUE(Contains(unit, "Restart=on-failure\n")) << unit;
    EXPECT_TRUE(Contains(unit, "WantedBy=multi-user.target\n")) << unit;
    EXPECT_EQ(manager.Calls(), std::vector<std::string>{"enable VServerService.service"});

    // Registering again removes the installed service first and leaves the same registration
    // ("LocalService" is deleted and written anew, so it may change its place in the key).
    server.Relaunch({"-RegServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    EXPECT_EQ(SortedLines(ReadFile(server.registryPath())), SortedLines(first));
    std::vector<std::string> expected{"enable VServerService.service", "stop VServerService.service",
                                      "disable VServerService.service", "daemon-reload",
                                      "enable VServerService.service"};
    EXPECT_EQ(manager.Calls(), expected);
    EXPECT_EQ(ReadFile(manager.unitPath()), unit);
    // A registration run serves nothing and writes nothing to the service log.
    EXPECT_EQ(server.ServiceLog(), "");
}

TEST_F(Registration, TheSwitchIsReadWithoutCaseAndOverItsOwnLength) {
    for (const std::string spelling : {"/regserver", "-RegServerX", "-Service /REGSERVER"}) {
        SCOPED_TRACE(spelling);
        ServerOptions options = Unregistered();
        options.arguments = {spelling};
        ServerProcess server(options);
        server.Launch();
        ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
        ExpectRegistered(ReadFile(server.registryPath()));
        fs::remove(manager.unitPath());
    }

    ServerOptions options = Unregistered();
    options.arguments = {"-Reg"};
    ServerProcess server(options);
    server.Launch();
    const std::string before = ReadFile(server.registryPath());
    ExpectStartUpFailure(server, "Can't open registry hive for reading", {"HKEY_CLASSES_ROOT\\AppID"});
    EXPECT_EQ(ReadFile(server.registryPath()), before);
    EXPECT_FALSE(PathExists(manager.unitPath()));
}

TEST_F(Registration, UnregServerTwiceRemovesTheKeysAndTheServiceButNotTheAppIdKey) {
    auto registered = RegisterFresh();
    ServerProcess& server = *registered;
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();

    server.Relaunch({"-UnregServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    const std::string registry = ReadFile(server.registryPath());
    EXPECT_FALSE(Contains(registry, kGuidKey)) << registry;
    EXPECT_FALSE(Contains(registry, kExeKey)) << registry;
    EXPECT_FALSE(Contains(registry, "LocalService")) << registry;
    EXPECT_TRUE(Contains(registry, "[HKEY_CLASSES_ROOT\\AppID]\r\n")) << registry;
    EXPECT_TRUE(Contains(registry, "\"MasterPath\"=")) << registry;
    EXPECT_FALSE(PathExists(manager.unitPath()));
    std::vector<std::string> expected{"enable VServerService.service", "stop VServerService.service",
                                      "disable VServerService.service", "daemon-reload"};
    EXPECT_EQ(manager.Calls(), expected);

    server.Relaunch({"/unregserver"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    EXPECT_EQ(ReadFile(server.registryPath()), registry);
    EXPECT_EQ(manager.Calls(), expected);

    server.Relaunch({});
    ExpectStartUpFailure(server, "Can't open registry object GUID for reading", {kAppIdGuid});
}

TEST_F(Registration, TheUnitPassesTheServiceManagersOwnCheck) {
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
    auto registered = RegisterFresh();
    ServerProcess& server = *registered;
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    std::string command = "systemd-analyze verify '" + manager.unitPath() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << output;
    EXPECT_FALSE(Contains(output, "VServerService.service")) << output;
}

TEST_F(Registration, AFailedInstallIsShownAndTheRegistrationGoesOn) {
    manager.SetExitStatus(1);
    ServerOptions options = Unregistered();
    options.arguments = {"-RegServer"};
    ServerProcess failingSystemctl(options);
    failingSystemctl.Launch();
    EXPECT_EQ(failingSystemctl.WaitExit(), 0);
    EXPECT_EQ(failingSystemctl.StandardError(), "VServerService: Couldn't create service\n");
    ExpectRegistered(ReadFile(failingSystemctl.registryPath()));
    EXPECT_FALSE(PathExists(manager.unitPath())) << "a unit that could not be enabled is not left behind";

    manager.SetExitStatus(0);
    // A unit folder this process cannot write to counts as no access to the service manager.
    options.environment["VSERVER_SYSTEMD_UNIT_DIR"] = manager.unitFolder() + "/missing";
    ServerProcess unwritableFolder(options);
    unwritableFolder.Launch();
    EXPECT_EQ(unwritableFolder.WaitExit(), 0);
    EXPECT_EQ(unwritableFolder.StandardError(), "VServerService: Couldn't open service manager\n");
    ExpectRegistered(ReadFile(unwritableFolder.registryPath()));
}

TEST_F(Registration, WithoutAServiceManagerTheRegistrationStillHappens) {
    struct stat st{};
    if (::stat("/run/systemd/system", &st) == 0) GTEST_SKIP() << "systemd runs on this machine";
    ServerOptions options = Unregistered();
    options.arguments = {"-RegServer"};
    options.environment["VSERVER_SYSTEMD_UNIT_DIR"] = "";
    ServerProcess server(options);
    server.Launch();
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_EQ(server.StandardError(), "VServerService: Couldn't open service manager\n");
    ExpectRegistered(ReadFile(server.registryPath()));

    // Nothing is installed where no manager runs, so there is nothing to remove either.
    server.Relaunch({"-UnregServer"});
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_EQ(server.StandardError(), "");
}

// Where a package shipped the unit, the switches change only the registration: a unit of their
// own would override the package's, and the package's unit goes only with the package.
TEST_F(Registration, APackagedUnitIsLeftToThePackage) {
    TempFolder package;
    const std::string packagedUnit = package / "VServerService.service";
    WriteFile(packagedUnit, "[Service]\nExecStart=/usr/sbin/VServerService -Service\n");
    // An earlier installation by hand left a unit that would shadow the package's.
    WriteFile(manager.unitPath(), "[Service]\nExecStart=/opt/old/VServerService -Service\n");
    ServerOptions options = Unregistered();
    options.environment["VSERVER_SYSTEMD_PACKAGE_UNIT_DIR"] = package.path();
    options.arguments = {"-RegServer"};
    ServerProcess server(options);
    server.Launch();
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    EXPECT_EQ(server.StandardError(), "");
    ExpectRegistered(ReadFile(server.registryPath()));
    EXPECT_FALSE(PathExists(manager.unitPath())) << "the shadowing unit is removed and none written";
    const std::vector<std::string> removal{"stop VServerService.service", "disable VServerService.service",
                                           "daemon-reload"};
    EXPECT_EQ(manager.Calls(), removal);

    for (const char* again : {"-RegServer", "-UnregServer"}) {
        SCOPED_TRACE(again);
        server.Relaunch({again});
        EXPECT_EQ(server.WaitExit(), 0);
        EXPECT_EQ(server.StandardError(), "");
        EXPECT_FALSE(PathExists(manager.unitPath()));
        EXPECT_EQ(manager.Calls(), removal) << "the packaged service is not stopped, enabled or disabled";
    }
    EXPECT_FALSE(Contains(ReadFile(server.registryPath()), kGuidKey));
    EXPECT_TRUE(PathExists(packagedUnit));

    // A package installed where systemd does not run (a container): registering says nothing
    // about a missing service manager, since the package's unit is the service.
    struct stat st{};
    if (::stat("/run/systemd/system", &st) == 0) return;
    options.environment["VSERVER_SYSTEMD_UNIT_DIR"] = "";
    ServerProcess container(options);
    container.Launch();
    EXPECT_EQ(container.WaitExit(), 0);
    EXPECT_EQ(container.StandardError(), "");
    ExpectRegistered(ReadFile(container.registryPath()));
}

TEST_F(Registration, AServiceThatCannotBeRemovedStaysWhole) {
    auto registered = RegisterFresh();
    ServerProcess& server = *registered;
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    const std::string unit = ReadFile(manager.unitPath());

    manager.SetExitStatus(1);
    server.Relaunch({"-UnregServer"});
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_EQ(server.StandardError(), "VServerService: Service could not be deleted\n");
    EXPECT_EQ(ReadFile(manager.unitPath()), unit);
    EXPECT_FALSE(Contains(ReadFile(server.registryPath()), kGuidKey));

    if (::geteuid() != 0) {
        manager.SetExitStatus(0);
        ::chmod(manager.unitFolder().c_str(), 0555);
        server.Relaunch({"-UnregServer"});
        EXPECT_EQ(server.WaitExit(), 0);
        EXPECT_EQ(server.StandardError(), "VServerService: Couldn't open service\n");
        ::chmod(manager.unitFolder().c_str(), 0755);
        EXPECT_TRUE(PathExists(manager.unitPath()));
    }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kConsoleName = "<Service Administrator Console>";

// Logs on as the console and asks the server to write an option; the reply's result.
std::string WriteOptionThroughTheServer(ServerProcess& server, const std::string& name, const std::string& value) {
    auto console = server.Connect();
    client::Request logon{.id = 1, .type = 101, .label = "Admin", .account = kConsoleName, .clientKind = 5,
                          .version = "9.0"};
    EXPECT_EQ(Exchange(console, logon), "1\xA7" "1");
    return Exchange(console, {.id = 2, .type = 817, .argument1 = name, .argument2 = value});
}

std::string ReadOptionThroughTheServer(ServerProcess& server, const std::string& name) {
    auto client = server.Connect();
    return Exchange(client, {.id = 3, .type = 206, .argument1 = name, .argument2 = "default"});
}

// Runs the installed program once with a harmless switch, so that the registry file the test
// writes afterwards is the one every later run finds.
std::unique_ptr<ServerProcess> Installed(ServerOptions options) {
    options.arguments = {"-UnregServer"};
    auto server = std::make_unique<ServerProcess>(options);
    server->Launch();
    EXPECT_EQ(server->WaitExit(), 0);
    return server;
}

TEST_F(Registration, AHandWrittenRegistryFileKeepsEveryLineThroughRegistrationAndOptionWrites) {
    auto installed = Installed(Unregistered());
    ServerProcess& server = *installed;
    const std::string handWritten =
        "REGEDIT4\r\n"
        "; Vantorel server of the reading room, kept by hand\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"
        "\"MasterPath\"=\"" + server.folder() + "/master\"   ; the school share\r\n"
        "# port 0: the system chooses\r\n"
        "\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"
        "\"PortNumber\"=\"0\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
        "\"AllowAccountCreation\" = \"True\"\r\n"
        "; statistics stay off until the new term\r\n"
        "\"LogUserStatistics\"=\"False\"\r\n"
        "\r\n"
        "; end of the settings\r\n";
    WriteFile(server.registryPath(), handWritten);

    server.Relaunch({"-RegServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    std::string registry = ReadFile(server.registryPath());
    ExpectRegistered(registry);
    ASSERT_EQ(registry.substr(0, handWritten.size()), handWritten) << "the registration goes after what was there";

    ASSERT_TRUE(server.Restart()) << server.failure();
    EXPECT_EQ(WriteOptionThroughTheServer(server, "LogUserStatistics", "True"), "1\xA7" "2\xA7" "817\xA7True");
    EXPECT_EQ(WriteOptionThroughTheServer(server, "Greeting", "Welcome"), "1\xA7" "2\xA7" "817\xA7True");
    EXPECT_EQ(ReadOptionThroughTheServer(server, "greeting"), "1\xA7" "3\xA7" "206\xA7Welcome");
    EXPECT_EQ(server.Stop(), 0);
    registry = Replaced(registry, "\"LogUserStatistics\"=\"False\"\r\n",
                        "\"LogUserStatistics\"=\"True\"\r\n\"Greeting\"=\"Welcome\"\r\n");
    EXPECT_EQ(ReadFile(server.registryPath()), registry);

    // Only the program's own keys go; the AppID key stays, as it always has.
    server.Relaunch({"-UnregServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    EXPECT_EQ(ReadFile(server.registryPath()),
              Replaced(handWritten, "\"LogUserStatistics\"=\"False\"\r\n",
                       "\"LogUserStatistics\"=\"True\"\r\n\"Greeting\"=\"Welcome\"\r\n") +
                  "\r\n[HKEY_CLASSES_ROOT\\AppID]\r\n\r\n");
}

TEST_F(Registration, AVersion5ExportIsReadAndStaysUtf16) {
    auto installed = Installed(Unregistered());
    ServerProcess& server = *installed;
    // As the registry editor exports: UTF-16LE with byte order mark, an expandable string.
    const std::string exported =
        "\xFF\xFE" + Utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"
                           "\"MasterPath\"=\"" + server.folder() + "/master\"\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"
                           "\"PortNumber\"=\"0\"\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
                           "\"Motto\"=hex(2):25,00,55,00,53,00,45,00,52,00,25,00,00,00\r\n"
                           "\"Caf\xE9\"=\"cr\xE8me\"\r\n\r\n");
    WriteFile(server.registryPath(), exported);

    server.Relaunch({"-RegServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    std::string registry = ReadFile(server.registryPath());
    ASSERT_EQ(registry.substr(0, exported.size()), exported);
    EXPECT_NE(registry.find(Utf16("\"LocalService\"=\"VServerService\"\r\n")), std::string::npos);

    ASSERT_TRUE(server.Restart()) << server.failure();
    EXPECT_EQ(ReadOptionThroughTheServer(server, "Motto"), "1\xA7" "3\xA7" "206\xA7%USER%");
    EXPECT_EQ(ReadOptionThroughTheServer(server, "CAF\xC9"), "1\xA7" "3\xA7" "206\xA7" "cr\xE8me");
    EXPECT_EQ(WriteOptionThroughTheServer(server, "Greeting", "Gr\xFC\xDF" "e"), "1\xA7" "2\xA7" "817\xA7True");
    EXPECT_EQ(server.Stop(), 0);
    registry = Replaced(registry, Utf16("\"Caf\xE9\"=\"cr\xE8me\"\r\n"),
                        Utf16("\"Caf\xE9\"=\"cr\xE8me\"\r\n\"Greeting\"=\"Gr\xFC\xDF" "e\"\r\n"));
    EXPECT_EQ(ReadFile(server.registryPath()), registry);

    server.Relaunch({"-UnregServer"});
    ASSERT_EQ(server.WaitExit(), 0) << server.StandardError();
    EXPECT_EQ(ReadFile(server.registryPath()),
              Replaced(exported, Utf16("\"Caf\xE9\"=\"cr\xE8me\"\r\n"),
                       Utf16("\"Caf\xE9\"=\"cr\xE8me\"\r\n\"Greeting\"=\"Gr\xFC\xDF" "e\"\r\n")) +
                  Utf16("[HKEY_CLASSES_ROOT\\AppID]\r\n\r\n"));
}

TEST_F(Registration, ARegistryFileThatCannotBeRewrittenFailsTheSwitchAndStaysAsItWas) {
    ServerOptions options = Unregistered();
    options.arguments = {"-RegServer"};
    ServerProcess server(options);
    // A line that cannot be read is kept as the person wrote it: the file is not rewritten.
    const std::string handWritten = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"
                                    "\"MasterPath\"=\"/srv/vantorel\"\r\nthis line is not a value\r\n";
    server.Launch();
    ASSERT_EQ(server.WaitExit(), 0);
    const std::string unit = ReadFile(manager.unitPath());
    const auto calls = manager.Calls();

    WriteFile(server.registryPath(), handWritten);
    for (const char* argument : {"-RegServer", "-UnregServer"}) {
        SCOPED_TRACE(argument);
        server.Relaunch({argument});
        EXPECT_EQ(server.WaitExit(), 1);
        EXPECT_TRUE(Contains(server.StandardError(), "VServerService: Can't write registry file " + server.registryPath()))
            << server.StandardError();
        EXPECT_EQ(ReadFile(server.registryPath()), handWritten);
        EXPECT_EQ(ReadFile(manager.unitPath()), unit);
        EXPECT_EQ(manager.Calls(), calls) << "the installed service is left alone";
    }
}

} // namespace
} // namespace vserver::test
