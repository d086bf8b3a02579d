#include "ServerHarness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vserver::test {

namespace fs = std::filesystem;

namespace {
constexpr const char* kListeningMarker = "Server listening on port ";

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The binary that is installed for each test. A relative VSERVER_TEST_SERVER_EXE is taken from
// the source folder, where ctest is started; the tests themselves run in the build folder.
std::string ServerBinary() {
    if (!WindowsServer()) return VSERVER_BINARY;
    fs::path exe = EnvironmentText("VSERVER_TEST_SERVER_EXE");
    return exe.is_absolute() ? exe.string() : (fs::path(VSERVER_SOURCE_DIR) / exe).string();
}

// Code page 1252 at 0x80-0x9F; the undefined places keep their own value.
constexpr char16_t kCodePage1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}
} // namespace

bool WindowsServer() { return !EnvironmentText("VSERVER_TEST_SERVER_EXE").empty(); }

std::string ServerPath(const std::string& path) {
    if (!WindowsServer() || path.empty() || path[0] != '/') return path;
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string RegistryText(const std::string& path) {
    if (!WindowsServer()) return path;
    std::string text;
    for (char c : ServerPath(path)) {
        text += c;
        if (c == '\\') text += c;
    }
    return text;
}

std::string OnDiskName(const std::string& name) {
    std::string utf8;
    for (unsigned char c : name) {
        if (c >= 0x80 && c < 0xA0) AppendUtf8(utf8, kCodePage1252High[c - 0x80]);
        else AppendUtf8(utf8, c);
    }
    return utf8;
}

std::string LockedPath(const std::string& file) { return WindowsServer() ? file + ".lock" : file; }

std::string LauncherProblem() {
    if (!WindowsServer()) return "";
    if (EnvironmentText("VSERVER_TEST_LAUNCHER").find("wine") != std::string::npos &&
        EnvironmentText("WINEPREFIX").empty()) {
        return "VSERVER_TEST_LAUNCHER is Wine but WINEPREFIX is not set (tools/run-windows-tests.sh sets it)";
    }
    return "";
}

ServerProcess::ServerProcess(ServerOptions options) : options_(std::move(options)) {}

ServerProcess::~ServerProcess() {
    // Wine's server outlives the process it hosts: killed in the middle of a socket call, the
    // process leaves that call's state behind there, and a later event on the same socket can
    // bring the whole Wine server down, taking every other test's server with it. A server
    // under Wine is therefore asked to stop first, and killed only if it does not.
    if (pid_ > 0 && exitStatus_ < 0 && WindowsServer()) Stop(SIGINT, 10s);
    if (pid_ > 0 && exitStatus_ < 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
}

namespace {

constexpr uid_t kNobody = 65534;

bool DropsPrivileges(const ServerOptions& options) { return options.unprivileged && ::geteuid() == 0; }

// Hands the folder and everything in it to the unprivileged user.
void HandOver(const std::string& folder) {
    ::chown(folder.c_str(), kNobody, kNobody);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        ::lchown(entry.path().c_str(), kNobody, kNobody);
    }
}

} // namespace

void ServerProcess::Launch() {
    InstallFiles();
    if (DropsPrivileges(options_)) HandOver(folder_.path());
    Spawn(options_.arguments);
}

void ServerProcess::Relaunch(const std::vector<std::string>& arguments) {
    if (pid_ > 0) WaitExit();
    pid_ = -1;
    exitStatus_ = -1;
    Spawn(arguments);
}

std::string ServerProcess::executablePath() const {
    return folder_ / (WindowsServer() ? "VServerService.exe" : "VServerService");
}

void ServerProcess::InstallFiles() {
    // The server's folder rules apply to the folder of the executable, so each test gets its
    // own copy or link of it.
    const std::string binary = ServerBinary();
    const std::string exe = executablePath();
    if (options_.diskSpace > 0 && ::geteuid() == 0) {
        // Room for the executable and the few small files beside it, and diskSpace more.
        std::uintmax_t size = fs::file_size(binary) + 64 * 1024 + options_.diskSpace;
        std::string mountOptions = "size=" + std::to_string(size);
        mounted_ = ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, mountOptions.c_str()) == 0;
    }
    std::error_code ec;
    // A hard link would hand the built binary itself to another owner.
    if (DropsPrivileges(options_)) ec = std::make_error_code(std::errc::operation_not_permitted);
    else fs::create_hard_link(binary, exe, ec);
    if (ec) fs::copy_file(binary, exe, fs::copy_options::overwrite_existing);

    std::string master = folder_ / "master";
    MakeFolder(master);
    if (options_.createUsersFolder) {
        MakeFolder(master + "/Users");
        if (options_.withMasterPreferences) {
            WriteFile(master + "/Users/VantorelSettings.vts",
                      "[General]\r\nFontSize=12\r\nVoice=Default\r\n");
        }
    }

    std::string reg = "REGEDIT4\r\n\r\n";
    if (options_.registered) {
        reg += std::string("[HKEY_CLASSES_ROOT\\AppID\\") + kAppIdGuid + "]\r\n@=\"VServerService\"\r\n";
        if (options_.withLocalService) {
            reg += "\"LocalService\"=\"VServerService\"\r\n\"ServiceParameters\"=\"-Service\"\r\n";
        }
        reg += "\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"";
        reg += kAppIdGuid;
        reg += "\"\r\n\r\n";
    }
    reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n";
    std::string masterPath = options_.masterPath.value_or(master);
    if (std::size_t at = masterPath.find('@'); at != std::string::npos) masterPath.replace(at, 1, folder_.path());
    if (!masterPath.empty()) reg += "\"MasterPath\"=\"" + RegistryText(masterPath) + "\"\r\n";
    reg += "\r\n";
    if (options_.portNumber) {
        reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"" +
               *options_.portNumber + "\"\r\n\r\n";
    }
    reg += options_.extraRegistry;
    WriteFile(registryPath(), reg);
}

std::vector<std::string> ServerProcess::CommandLine(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command;
    if (WindowsServer()) {
        const std::string launcher = EnvironmentText("VSERVER_TEST_LAUNCHER");
        if (!launcher.empty()) command.push_back(launcher);
    }
    command.push_back(executablePath());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::map<std::string, std::string> ServerProcess::ServerEnvironment(const std::map<std::string, std::string>& extra) const {
    // A registration switch must never reach the machine's real service manager: by default
    // the unit folder does not exist and systemctl always fails.
    std::map<std::string, std::string> environment = {{"VSERVER_SYSTEMD_UNIT_DIR", folder_ / "no-unit-folder"},
                                                      {"VSERVER_SYSTEMCTL", "false"}};
    if (WindowsServer()) {
        // Without a file named, the Windows server would use the system registry of the prefix,
        // which every test shares. Wine's diagnostics would otherwise land on standard error.
        environment["VSERVER_REGISTRY"] = ServerPath(registryPath());
        environment["WINEDEBUG"] = "-all";
    }
    for (const auto& source : {options_.environment, extra}) {
        for (const auto& [name, value] : source) {
            const bool path = name.rfind("VSERVER_", 0) == 0 && !value.empty() && value[0] == '/';
            environment[name] = path ? ServerPath(value) : value;
        }
    }
    return environment;
}

ToolRun ServerProcess::RunInstalled(const std::vector<std::string>& arguments,
                                    const std::map<std::string, std::string>& environment) const {
    std::vector<std::string> command = CommandLine(arguments);
    const std::string program = command.front();
    command.erase(command.begin());
    return RunTool(program, command, ServerEnvironment(environment));
}

void ServerProcess::Spawn(std::vector<std::string> arguments) {
    if (const std::string problem = LauncherProblem(); !problem.empty()) {
        failure_ = problem;
        ADD_FAILURE() << problem;
        return;
    }
    std::vector<std::string> command = CommandLine(arguments);
    const std::map<std::string, std::string> environment = ServerEnvironment({});
    std::string out = folder_ / "stdout.txt";
    std::string err = folder_ / "stderr.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        for (const char* name : {"VSERVER_REGISTRY", "VSERVER_LOG_FOLDER", "VSERVER_DATA_FOLDER", "NOTIFY_SOCKET",
                                 "VSERVER_SYSTEMD_PACKAGE_UNIT_DIR"}) {
            ::unsetenv(name);
        }
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (options_.openFileLimit > 0) {
            rlimit limit{static_cast<rlim_t>(options_.openFileLimit), static_cast<rlim_t>(options_.openFileLimit)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (options_.diskSpace > 0 && !mounted_) {
            rlimit limit{static_cast<rlim_t>(options_.diskSpace), static_cast<rlim_t>(options_.diskSpace)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (DropsPrivileges(options_) && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(125);
        }
        if (::chdir(folder_.path().c_str()) != 0) ::_exit(126);
        std::vector<char*> argv;
        for (auto& a : command) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The launcher is found on the PATH; the executable itself is named by its path.
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
}

bool ServerProcess::Start() {
    Launch();
    return WaitListening(0);
}

bool ServerProcess::Restart(const std::vector<std::string>& arguments) {
    const std::size_t earlierRuns = ListeningLines().size();
    Relaunch(arguments);
    return WaitListening(earlierRuns);
}

std::vector<std::string> ServerProcess::ListeningLines() const {
    std::vector<std::string> lines;
    for (auto& text : ServiceLogTexts()) {
        if (text.rfind(kListeningMarker, 0) == 0) lines.push_back(std::move(text));
    }
    return lines;
}

bool ServerProcess::WaitListening(std::size_t earlierRuns) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto lines = ListeningLines();
        if (lines.size() > earlierRuns) {
            port_ = std::atoi(lines[earlierRuns].c_str() + std::strlen(kListeningMarker));
            return port_ > 0;
        }
        if (!running()) break;
        std::this_thread::sleep_for(10ms);
    }
    failure_ = "server did not start; service log:\n" + ServiceLog() + "\nstderr:\n" + StandardError();
    return false;
}

bool ServerProcess::running() const {
    if (pid_ <= 0 || exitStatus_ >= 0) return false;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout) {
    if (exitStatus_ >= 0) return exitStatus_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

int ServerProcess::Stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (WindowsServer() && signal == SIGTERM) signal = SIGINT;
    if (exitStatus_ < 0) ::kill(pid_, signal);
    return WaitExit(timeout);
}

std::string ServerProcess::ServiceLog() const {
    auto named = options_.environment.find("VSERVER_LOG_FOLDER");
    if (named != options_.environment.end() && !named->second.empty()) return ReadFile(named->second + "/ServiceLog.log");
    return ReadFile(folder_ / "ServiceLog.log");
}
std::string ServerProcess::StandardOutput() const { return ReadFile(folder_ / "stdout.txt"); }
std::string ServerProcess::StandardError() const { return ReadFile(folder_ / "stderr.txt"); }

std::vector<std::string> ServerProcess::ServiceLogTexts() const { return ServiceLogTextsOf(ServiceLog()); }

bool ServerProcess::WaitForLogText(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const auto& t : ServiceLogTexts()) {
            if (t.find(text) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

client::Connection ServerProcess::ConnectRaw(const std::string& from, const std::string& host) {
    client::Connection c;
    std::string error;
    EXPECT_TRUE(c.Open(host, port_, 5s, &error, from)) << error;
    return c;
}

client::Connection ServerProcess::Connect(const std::string& from, const std::string& host) {
    client::Connection c = ConnectRaw(from, host);
    auto greeting = c.ReadMessage(10s);
    EXPECT_TRUE(greeting.has_value()) << "no greeting";
    if (greeting) {
        EXPECT_EQ(Hex(*greeting), "31 a7 30 a7");
    }
    return c;
}

void ExpectStartUpFailure(ServerProcess& server, const std::string& text, const std::vector<std::string>& causeParts) {
    EXPECT_EQ(server.WaitExit(), 1);
    const std::vector<std::string> texts = server.ServiceLogTexts();
    const auto at = std::find(texts.begin(), texts.end(), text);
    ASSERT_NE(at, texts.end()) << server.ServiceLog();
    ASSERT_NE(at + 1, texts.end()) << "no line names the cause";
    const std::string& cause = *(at + 1);
    const std::string error = server.StandardError();
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_EQ(error.rfind("VServerService: " + text + ": ", 0), 0u) << error;
    for (const std::string& part : causeParts) {
        EXPECT_NE(cause.find(part), std::string::npos) << part << " not in: " << cause;
        EXPECT_NE(error.find(part), std::string::npos) << part << " not in: " << error;
    }
}

std::string Exchange(client::Connection& connection, const client::Request& request,
                     std::chrono::milliseconds timeout) {
    EXPECT_TRUE(connection.Send(request));
    auto reply = connection.ReadMessage(timeout);
    EXPECT_TRUE(reply.has_value()) << "no reply to request type " << request.type;
    return reply.value_or("");
}

int RunInChild(const char* name, const std::function<void()>& work) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    try {
        work();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s stopped: %s\n", name, failure.what());
        ::_exit(1);
    }
    ::_exit(0);
}

std::string Hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Utf16(const std::string& text) {
    std::string bytes;
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

int CountLinesStartingWith(const std::string& file, const std::string& text) {
    const std::string content = PathExists(file) ? ReadFile(file) : std::string();
    int count = 0;
    for (std::size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) {
        if (at == 0 || content[at - 1] == '\n') ++count;
    }
    return count;
}

} // namespace vserver::test
