// The Windows build as a real service under Wine: registration with the service manager, start,
// controls and stop through the manager, and removal. The tests drive Wine's own tools and a
// small manager client (svcctl.exe) from Linux and talk to the service over TCP. They run only
// when VSERVER_TEST_SERVER_EXE names VServerService.exe and VSERVER_TEST_LAUNCHER is wine; all
// of them share the prefix's one service manager and its registry.
//
// Events are read from the trace of the prefix's event log: the prefix must have been booted
// with WINEDEBUG=-all,+eventlog and its standard error sent to the file named by
// VSERVER_TEST_WINE_EVENTS (the service inherits that output from the manager).

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ServerHarness.h"
#include "ToolProcess.h"
#include "support/TestFiles.h"

namespace vserver::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kService = "VServerService";
const std::string kSettingsKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server";
const std::string kGuidKey = std::string("HKEY_CLASSES_ROOT\\AppID\\") + kAppIdGuid;
const std::string kExecutableKey = "HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE";
const std::string kServicesKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VServerService";
const std::string kEventSourceKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VServerService";
constexpr auto kWineCallTimeout = std::chrono::seconds(90);

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The program named by a bare name is looked for along PATH, as a shell would.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::string path = Environment("PATH");
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return name;
}

// The Windows form of a Linux path as Wine shows it: the root is drive Z.
std::string WinePath(const std::string& path) {
    std::string result = "Z:" + path;
    for (char& c : result) {
        if (c == '/') c = '\\';
    }
    return result;
}

// What svcctl and Wine's tools print as "name=value" lines or "NAME : value" lines.
std::map<std::string, std::string> NamedLines(const std::string& text, char separator) {
    std::map<std::string, std::string> values;
    for (std::string line : Lines(text)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::size_t at = line.find(separator); at != std::string::npos) {
            auto trim = [](std::string s) {
                s.erase(0, s.find_first_not_of(' '));
                s.erase(s.find_last_not_of(' ') + 1);
                return s;
            };
            values[trim(line.substr(0, at))] = trim(line.substr(at + 1));
        }
    }
    return values;
}

// One registry value as reg query lists it: name, type and data apart by four blanks.
struct RegValue {
    std::string type;
    std::string data;
    bool operator==(const RegValue&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const RegValue& value) {
        return out << value.type << " \"" << value.data << "\"";
    }
};

std::map<std::string, RegValue> RegValues(const std::string& text) {
    std::map<std::string, RegValue> values;
    for (std::string line : Lines(text)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("    ", 0) != 0) continue;
        line = line.substr(4);
        std::size_t nameEnd = line.find("    ");
        if (nameEnd == std::string::npos) continue;
        std::size_t typeEnd = line.find("    ", nameEnd + 4);
        std::string type = line.substr(nameEnd + 4, typeEnd == std::string::npos ? std::string::npos : typeEnd - nameEnd - 4);
        std::string data = typeEnd == std::string::npos ? "" : line.substr(typeEnd + 4);
        values[line.substr(0, nameEnd)] = {type, data};
    }
    return values;
}

// The texts of the informational events (Wine traces the other kinds as warnings and errors) in the trace file from offset on, in order.
std::vector<std::string> EventTexts(const std::string& trace, std::size_t offset) {
    static const std::string marker = "trace:eventlog:ReportEventW L\"";
    std::vector<std::string> texts;
    for (std::size_t at = trace.find(marker, offset); at != std::string::npos; at = trace.find(marker, at + 1)) {
        std::string text;
        for (std::size_t i = at + marker.size(); i < trace.size() && trace[i] != '"' && trace[i] != '\n'; ++i) {
            if (trace[i] == '\\' && i + 1 < trace.size()) ++i;
            text += trace[i];
        }
        texts.push_back(text);
    }
    return texts;
}

// A TCP port held open on every address, so the service cannot listen there.
class TakenPort {
public:
    TakenPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~TakenPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class WindowsService : public ::testing::Test {
protected:
    void SetUp() override {
        serverExe_ = Environment("VSERVER_TEST_SERVER_EXE");
        if (serverExe_.empty() || Environment("VSERVER_TEST_LAUNCHER").find("wine") == std::string::npos) {
            GTEST_SKIP() << "needs the Windows server under Wine (VSERVER_TEST_SERVER_EXE and VSERVER_TEST_LAUNCHER=wine)";
        }
        // Wine without a prefix would make one in the home folder and start a second server.
        const std::string prefix = Environment("WINEPREFIX");
        ASSERT_TRUE(!prefix.empty() && prefix.front() == '/') << "WINEPREFIX must name the test prefix: '" << prefix << "'";
        wine_ = FindProgram(Environment("VSERVER_TEST_LAUNCHER"));
        svcctl_ = Environment("VSERVER_TEST_SVCCTL");
        if (svcctl_.empty()) svcctl_ = (fs::path(serverExe_).parent_path() / "svcctl.exe").string();
        ASSERT_TRUE(PathExists(serverExe_)) << serverExe_;
        ASSERT_TRUE(PathExists(svcctl_)) << svcctl_ << " (built with the Windows tests)";
        eventTrace_ = Environment("VSERVER_TEST_WINE_EVENTS");
        if (!eventTrace_.empty()) eventOffset_ = ReadFile(eventTrace_).size();
        installed_ = true;
    }

    void TearDown() override {
        if (!installed_) return;
        // Whatever a test left: the service stopped and removed, the settings gone.
        Wine({svcctl_, "control", kService, "1"});
        if (!registeredFrom_.empty()) Wine({registeredFrom_, "-UnregServer"});
        Wine({"reg", "delete", kSettingsKey, "/f"});
    }

    ToolRun Wine(std::vector<std::string> arguments) { return RunTool(wine_, arguments, {}, kWineCallTimeout); }

    // A folder with the executable and a master folder, and the settings the service reads
    // from the system registry imported the way an administrator would.
    std::string Install(const std::string& name, const std::string& port, const std::string& extra = {}) {
        const std::string folder = folder_ / name;
        MakeFolder(folder);
        MakeFolder(folder + "/master");
        MakeFolder(folder + "/master/Users");
        std::error_code ec;
        fs::copy_file(serverExe_, folder + "/VServerService.exe", fs::copy_options::overwrite_existing, ec);
        EXPECT_FALSE(ec) << ec.message();
        std::string master = WinePath(folder + "/master");
        std::string escaped;
        for (char c : master) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        const std::string settings = "REGEDIT4\r\n\r\n[" + kSettingsKey + "]\r\n\"MasterPath\"=\"" + escaped + "\"\r\n\r\n[" +
                                     kSettingsKey + "\\Connection]\r\n\"PortNumber\"=\"" + port + "\"\r\n\r\n[" +
                                     kSettingsKey + "\\Options]\r\n" + extra + "\r\n";
        WriteFile(folder + "/settings.reg", settings);
        ToolRun imported = Wine({"reg", "import", WinePath(folder + "/settings.reg")});
        EXPECT_EQ(imported.exitStatus, 0) << imported.out << imported.err;
        return folder;
    }

    ToolRun Register(const std::string& folder) {
        registeredFrom_ = folder + "/VServerService.exe";
        return Wine({registeredFrom_, "-RegServer"});
    }
    ToolRun Unregister(const std::string& folder) {
        registeredFrom_.clear();
        return Wine({folder + "/VServerService.exe", "-UnregServer"});
    }

    std::map<std::string, std::string> Svcctl(const std::vector<std::string>& arguments, int* status = nullptr) {
        std::vector<std::string> call{svcctl_};
        call.insert(call.end(), arguments.begin(), arguments.end());
        ToolRun run = Wine(call);
        if (status != nullptr) *status = run.exitStatus;
        return NamedLines(run.out, '=');
    }

    // The state number as Wine's own sc shows it ("4  RUNNING"), or "" when there is no service.
    std::string ScState() {
        ToolRun run = Wine({"sc", "query", kService});
        return NamedLines(run.out, ':')["STATE"];
    }

    bool WaitForScState(const std::string& state) {
        return WaitUntil([&] { return ScState().rfind(state, 0) == 0; }, std::chrono::seconds(60));
    }

    std::map<std::string, RegValue> RegQuery(const std::string& key, int* status = nullptr) {
        ToolRun run = Wine({"reg", "query", key});
        if (status != nullptr) *status = run.exitStatus;
        return RegValues(run.out);
    }

    std::vector<std::string> Events() const {
        return eventTrace_.empty() ? std::vector<std::string>{} : EventTexts(ReadFile(eventTrace_), eventOffset_);
    }
    bool WaitForEvent(const std::string& text) const {
        return WaitUntil([&] {
            for (const std::string& event : Events()) {
                if (event == text) return true;
            }
            return false;
        });
    }
    bool haveEvents() const { return !eventTrace_.empty(); }

    static std::vector<std::string> LogTexts(const std::string& folder) {
        return ServiceLogTextsOf(ReadFile(folder + "/ServiceLog.log"));
    }
    static bool WaitForLog(const std::string& folder, const std::string& text) {
        return WaitUntil([&] {
            for (const std::string& line : LogTexts(folder)) {
                if (line == text) return true;
            }
            return false;
        }, std::chrono::seconds(60));
    }
    // The port from the service log's listening line; 0 until there is one.
    static int ListeningPort(const std::string& folder) {
        const std::string prefix = "Server listening on port ";
        for (const std::string& line : LogTexts(folder)) {
            if (line.rfind(prefix, 0) == 0) return std::atoi(line.c_str() + prefix.size());
        }
        return 0;
    }

    TempFolder folder_;
    std::string serverExe_;
    std::string wine_;
    std::string svcctl_;
    std::string eventTrace_;
    std::size_t eventOffset_ = 0;
    std::string registeredFrom_;
    bool installed_ = false;
};

TEST_F(WindowsService, RegServerInstallsTheServiceAndItsKeysAndASecondOneRecreatesIt) {
    const std::string first = Install("first", "0");
    ToolRun registered = Register(first);
    ASSERT_EQ(registered.exitStatus, 0) << registered.out << registered.err;

    auto expectConfig = [&](const std::string& folder) {
        int status = -1;
        auto config = Svcctl({"config", kService}, &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(config["type"], "16");           // own process
        EXPECT_EQ(config["start"], "2");           // automatic start
        EXPECT_EQ(config["error"], "1");           // normal error control
        std::string command = "\"";
        command += WinePath(folder + "/VServerService.exe");
        command += "\" -Service";
        EXPECT_EQ(config["path"], command);
        EXPECT_EQ(config["account"], "LocalSystem");
        // Wine's manager does not report dependencies; they are kept in the service's key.
        EXPECT_EQ(RegQuery(kServicesKey)["DependOnService"], (RegValue{"REG_MULTI_SZ", "RPCSS"}));
        EXPECT_EQ(config["display"], "Vantorel Server Service");
        // The Event Viewer reads the service's events with the messages of this executable.
        auto source = RegQuery(kEventSourceKey);
        EXPECT_EQ(source["EventMessageFile"], (RegValue{"REG_EXPAND_SZ", WinePath(folder + "/VServerService.exe")}));
        EXPECT_EQ(source["TypesSupported"], (RegValue{"REG_DWORD", "0x7"}));
    };
    expectConfig(first);
    EXPECT_EQ(ScState().substr(0, 1), "1");
    auto guid = RegQuery(kGuidKey);
    EXPECT_EQ(guid["(Default)"], (RegValue{"REG_SZ", "VServerService"}));
    EXPECT_EQ(guid["LocalService"], (RegValue{"REG_SZ", "VServerService"}));
    EXPECT_EQ(guid["ServiceParameters"], (RegValue{"REG_SZ", "-Service"}));
    EXPECT_EQ(RegQuery(kExecutableKey)["AppID"], (RegValue{"REG_SZ", kAppIdGuid}));

    // Registering a copy elsewhere while the first one runs stops and removes the old service
    // and creates it anew for the new place.
    ASSERT_EQ(Wine({"net", "start", kService}).exitStatus, 0);
    ASSERT_TRUE(WaitForScState("4"));
    const std::string second = Install("second", "0");
    registered = Register(second);
    ASSERT_EQ(registered.exitStatus, 0) << registered.out << registered.err;
    expectConfig(second);
    EXPECT_EQ(ScState().substr(0, 1), "1");
    EXPECT_TRUE(WaitForLog(first, "Service ending normally"));
    EXPECT_EQ(RegQuery(kGuidKey)["LocalService"], (RegValue{"REG_SZ", "VServerService"}));
}

TEST_F(WindowsService, ServesFromNetStartToNetStopAndAnswersOnlyTheStopControl) {
    const std::string folder = Install("service", "0", "\"Greeting\"=\"from the system registry\"\r\n");
    ASSERT_EQ(Register(folder).exitStatus, 0);
    ToolRun started = Wine({"net", "start", kService});
    ASSERT_EQ(started.exitStatus, 0) << started.out << started.err;
    ASSERT_TRUE(WaitForScState("4")) << ScState();
    ASSERT_TRUE(WaitUntil([&] { return ListeningPort(folder) != 0; }));

    // The settings came from the system registry, and the server answers from Linux.
    client::Connection connection;
    std::string error;
    ASSERT_TRUE(connection.Open("127.0.0.1", ListeningPort(folder), 10s, &error)) << error;
    ASSERT_EQ(connection.ReadMessage(10s), std::string("1\xA7" "0\xA7"));
    EXPECT_EQ(Exchange(connection, {.id = 7, .type = 206, .argument1 = "Greeting", .argument2 = "none"}),
              "1\xA7" "7\xA7" "206\xA7" "from the system registry");

    // Interrogate, pause, continue and a user control change nothing; only the user control
    // is told, as an unknown request.
    int status = -1;
    auto before = Svcctl({"query", kService}, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(before["state"], "4");
    // Stop, shutdown and pre-shutdown.
    EXPECT_EQ(before["accepted"], std::to_string(0x1 | 0x4 | 0x100));
    EXPECT_EQ(before["type"], "16");
    auto interrogated = Svcctl({"control", kService, "4"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(interrogated, before);
    Svcctl({"control", kService, "128"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Svcctl({"query", kService}), before);
    EXPECT_EQ(Exchange(connection, {.id = 8, .type = 206, .argument1 = "Greeting", .argument2 = "none"}),
              "1\xA7" "8\xA7" "206\xA7" "from the system registry");
    connection.Close();

    ToolRun stopped = Wine({"net", "stop", kService});
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.out << stopped.err;
    ASSERT_TRUE(WaitForScState("1")) << ScState();
    ASSERT_TRUE(WaitForLog(folder, "Service ending normally"));
    EXPECT_EQ(LogTexts(folder).back(), "Service ending normally");

    if (!haveEvents()) GTEST_SKIP() << "events not checked: VSERVER_TEST_WINE_EVENTS names no event trace";
    ASSERT_TRUE(WaitForEvent("Service stopped"));
    EXPECT_EQ(Events(), (std::vector<std::string>{"Service started", "Bad service request", "Service stopped"}));
}

TEST_F(WindowsService, WithItsPortTakenTheServiceStopsWithoutEverRunning) {
    TakenPort taken;
    ASSERT_NE(taken.port(), 0);
    const std::string folder = Install("taken", std::to_string(taken.port()));
    ASSERT_EQ(Register(folder).exitStatus, 0);
    // Wine's net start reports success here too; the manager's state tells.
    Wine({"net", "start", kService});
    ASSERT_TRUE(WaitForLog(folder, "Service ending normally"));
    ASSERT_TRUE(WaitForScState("1")) << ScState();
    const std::vector<std::string> log = LogTexts(folder);
    EXPECT_NE(std::find(log.begin(), log.end(), "Can't initialize server object"), log.end());
    EXPECT_EQ(log.back(), "Service ending normally");

    if (!haveEvents()) GTEST_SKIP() << "events not checked: VSERVER_TEST_WINE_EVENTS names no event trace";
    ASSERT_TRUE(WaitForEvent("Service stopped"));
    EXPECT_EQ(Events(), std::vector<std::string>{"Service stopped"});
}

TEST_F(WindowsService, UnregServerRemovesTheServiceAndItsKeysButNotTheAppIdKey) {
    const std::string folder = Install("service", "0");
    ASSERT_EQ(Register(folder).exitStatus, 0);
    ASSERT_EQ(ScState().substr(0, 1), "1");
    ToolRun removed = Unregister(folder);
    ASSERT_EQ(removed.exitStatus, 0) << removed.out << removed.err;

    int status = 0;
    Svcctl({"query", kService}, &status);
    EXPECT_NE(status, 0) << "the service is still known";
    EXPECT_EQ(ScState(), "");
    RegQuery(kGuidKey, &status);
    EXPECT_NE(status, 0) << kGuidKey << " is still there";
    RegQuery(kExecutableKey, &status);
    EXPECT_NE(status, 0) << kExecutableKey << " is still there";
    RegQuery(kEventSourceKey, &status);
    EXPECT_NE(status, 0) << kEventSourceKey << " is still there";
    RegQuery("HKEY_CLASSES_ROOT\\AppID", &status);
    EXPECT_EQ(status, 0) << "the AppID key itself was removed";
}

// The console built for Windows, beside the service, finds the port an administrator imported
// into the system registry without being given --port, lists the options stored there, and
// names the key where it read them.
TEST_F(WindowsService, TheWindowsConsoleReadsItsSettingsFromTheSystemRegistry) {
    const std::string built = (fs::path(serverExe_).parent_path() / "tools" / "vserverctl.exe").string();
    ASSERT_TRUE(PathExists(built)) << built << " (built with the Windows server)";
    int port = 0;
    {
        TakenPort probe;  // a port that was free a moment ago
        port = probe.port();
    }
    ASSERT_NE(port, 0);
    const std::string folder = Install("console", std::to_string(port), "\"Motto\"=\"from the system registry\"\r\n");
    const std::string ctl = folder + "/vserverctl.exe";
    std::error_code ec;
    fs::copy_file(built, ctl, fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << ec.message();

    // Before the server runs: the port and the key are known all the same, and the server is
    // not reachable there.
    ToolRun down = Wine({ctl, "--json", "--timeout", "5", "status"});
    EXPECT_EQ(down.exitStatus, 3) << down.out << down.err;
    EXPECT_NE(down.out.find("\"port\":" + std::to_string(port) + ","), std::string::npos) << down.out;
    EXPECT_NE(down.out.find("\"registryFile\":null,\"registryKey\":\"HKEY_LOCAL_MACHINE\\\\Software\\\\QORA\\\\"
                            "Vantorel Server\""),
              std::string::npos)
        << down.out;
    ToolRun refused = Wine({ctl, "option", "set", "PortNumber", "5"});
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_NE(refused.err.find("from the Connection key of the system registry (set it in " + kSettingsKey +
                               "\\Connection and restart the server)"),
              std::string::npos)
        << refused.err;

    ASSERT_EQ(Register(folder).exitStatus, 0);
    ToolRun started = Wine({"net", "start", kService});
    ASSERT_EQ(started.exitStatus, 0) << started.out << started.err;
    ASSERT_TRUE(WaitForScState("4")) << ScState();
    ASSERT_TRUE(WaitUntil([&] { return ListeningPort(folder) != 0; }));
    ASSERT_EQ(ListeningPort(folder), port);

    ToolRun listed = Wine({ctl, "--json", "--timeout", "30", "option", "list"});
    EXPECT_EQ(listed.exitStatus, 0) << listed.out << listed.err;
    EXPECT_NE(listed.out.find("{\"name\":\"Motto\",\"stored\":\"from the system registry\",\"effective\":\"from the "
                              "system registry\",\"default\":null,\"usedByServer\":false}"),
              std::string::npos)
        << listed.out;
    ToolRun status = Wine({ctl, "--timeout", "30", "status"});
    EXPECT_EQ(status.exitStatus, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("registry key         " + kSettingsKey + "\r\n"), std::string::npos) << status.out;

    ToolRun stopped = Wine({"net", "stop", kService});
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.out << stopped.err;
    EXPECT_TRUE(WaitForScState("1")) << ScState();
}

} // namespace
} // namespace vserver::test
