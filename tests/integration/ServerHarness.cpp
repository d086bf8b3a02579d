#include "ServerHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vserver::test {

namespace fs = std::filesystem;

ServerProcess::ServerProcess(ServerOptions options) : options_(std::move(options)) {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && exitStatus_ < 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void ServerProcess::Launch() {
    InstallFiles();
    Spawn(options_.arguments);
}

void ServerProcess::Relaunch(const std::vector<std::string>& arguments) {
    if (pid_ > 0) WaitExit();
    pid_ = -1;
    exitStatus_ = -1;
    Spawn(arguments);
}

void ServerProcess::InstallFiles() {
    std::string exe = folder_ / "VServerService";
    std::error_code ec;
    fs::create_hard_link(VSERVER_BINARY, exe, ec);
    if (ec) fs::copy_file(VSERVER_BINARY, exe, fs::copy_options::overwrite_existing);

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
    reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"" + master + "\"\r\n\r\n";
    if (options_.portNumber) {
        reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"" +
               *options_.portNumber + "\"\r\n\r\n";
    }
    reg += options_.extraRegistry;
    WriteFile(registryPath(), reg);
}

void ServerProcess::Spawn(std::vector<std::string> arguments) {
    std::string exe = folder_ / "VServerService";
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
        ::unsetenv("VSERVER_REGISTRY");
        ::unsetenv("NOTIFY_SOCKET");
        // A registration switch must never reach the machine's real service manager: by
        // default the unit folder does not exist and systemctl always fails.
        std::string units = folder_ / "no-unit-folder";
        ::setenv("VSERVER_SYSTEMD_UNIT_DIR", units.c_str(), 1);
        ::setenv("VSERVER_SYSTEMCTL", "false", 1);
        for (const auto& [name, value] : options_.environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (options_.openFileLimit > 0) {
            rlimit limit{static_cast<rlim_t>(options_.openFileLimit), static_cast<rlim_t>(options_.openFileLimit)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (::chdir(folder_.path().c_str()) != 0) ::_exit(126);
        std::vector<char*> argv;
        argv.push_back(exe.data());
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = pid;
}

bool ServerProcess::Start() {
    Launch();
    const std::string marker = "Server listening on port ";
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& text : ServiceLogTexts()) {
            if (text.rfind(marker, 0) == 0) {
                port_ = std::atoi(text.c_str() + marker.size());
                return port_ > 0;
            }
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
    if (exitStatus_ < 0) ::kill(pid_, signal);
    return WaitExit(timeout);
}

std::string ServerProcess::ServiceLog() const { return ReadFile(folder_ / "ServiceLog.log"); }
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

std::string Exchange(client::Connection& connection, const client::Request& request,
                     std::chrono::milliseconds timeout) {
    EXPECT_TRUE(connection.Send(request));
    auto reply = connection.ReadMessage(timeout);
    EXPECT_TRUE(reply.has_value()) << "no reply to request type " << request.type;
    return reply.value_or("");
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

} // namespace vserver::test
