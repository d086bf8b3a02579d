#pragma once
// A server under measurement: the given binary installed in a temporary folder of its own, with
// a registry file that lets every connection send console requests and asks for a port of the
// system's choosing, started, and stopped and removed with everything in it at the end.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace vserver::bench {

using namespace std::chrono_literals;

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Nanoseconds process pid has run on a processor, from /proc/PID/schedstat: the server's own
// cost of an operation, which a loaded machine does not blur as it blurs the reply time.
inline long long CpuNanoseconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = 0;
    in >> ns;
    return ns;
}

class BenchServer {
public:
    // Installs binary with a master folder holding Users and the master preference file.
    explicit BenchServer(const std::string& binary) {
        std::string pattern = (std::filesystem::temp_directory_path() / "vserver-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        folder_ = pattern;
        std::filesystem::copy_file(binary, folder_ + "/VServerService");
        std::filesystem::create_directories(usersFolder());
        WriteAll(usersFolder() + "/VantorelSettings.vts", "[General]\r\nFontSize=12\r\nVoice=Default\r\n");
        std::string reg = "REGEDIT4\r\n\r\n";
        reg += "[HKEY_CLASSES_ROOT\\AppID\\{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}]\r\n@=\"VServerService\"\r\n\r\n";
        reg += "[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}\"\r\n\r\n";
        reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"" + folder_ + "/master\"\r\n\r\n";
        reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"0\"\r\n\r\n";
        reg += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
               "\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n\r\n";
        WriteAll(folder_ + "/VServerService.reg", reg);
    }
    ~BenchServer() {
        Stop();
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    // Starts the server and waits until it listens; false, with its service log on standard
    // error, when it does not.
    bool Start() {
        if (folder_.empty()) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(folder_.c_str()) != 0) ::_exit(126);
            ::unsetenv("VSERVER_REGISTRY");
            ::unsetenv("NOTIFY_SOCKET");
            std::freopen("/dev/null", "w", stdout);
            std::string exe = folder_ + "/VServerService";
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string marker = "Server listening on port ";
        for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms)) {
            std::string log = ReadAll(folder_ + "/ServiceLog.log");
            if (std::size_t at = log.find(marker); at != std::string::npos) {
                port_ = std::atoi(log.c_str() + at + marker.size());
                return true;
            }
        }
        std::fprintf(stderr, "server did not start:\n%s\n", ReadAll(folder_ + "/ServiceLog.log").c_str());
        return false;
    }

    // Asks the server to stop, and kills it when it has not within 10 s.
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms)) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    const std::string& folder() const { return folder_; }
    std::string usersFolder() const { return folder_ + "/master/Users"; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    std::string folder_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace vserver::bench
