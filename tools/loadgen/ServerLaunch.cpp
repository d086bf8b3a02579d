#include "loadgen/ServerLaunch.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "loadgen/LoopbackTarget.h"

namespace vserver::loadgen {

namespace fs = std::filesystem;

namespace {

constexpr const char* kListening = "Server listening on port ";

std::string ReadLog(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

[[noreturn]] void Exec(const std::string& folder, const std::string& executable) {
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    for (const char* name : {"VSERVER_REGISTRY", "VSERVER_LOG_FOLDER", "VSERVER_DATA_FOLDER", "NOTIFY_SOCKET"}) ::unsetenv(name);
    // The server never reaches the machine's service manager from here.
    ::setenv("VSERVER_SYSTEMD_UNIT_DIR", (folder + "/no-unit-folder").c_str(), 1);
    ::setenv("VSERVER_SYSTEMCTL", "false", 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
    ::execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

} // namespace

bool LaunchedServer::Start(const std::string& binary, const std::string& folder, std::string* error) {
    fs::path executable = fs::path(folder) / fs::path(binary).filename();
    std::error_code failed;
    if (!fs::equivalent(binary, executable, failed)) {
        fs::copy_file(binary, executable, fs::copy_options::overwrite_existing, failed);
        if (failed) {
            *error = "cannot copy " + binary + " to " + executable.string() + ": " + failed.message();
            return false;
        }
    }
    fs::path log = fs::path(folder) / "ServiceLog.log";
    std::size_t earlier = ReadLog(log).size();
    pid_ = ::fork();
    if (pid_ == 0) Exec(folder, executable.string());
    for (std::uint64_t deadline = NowNs() + ToNs(20); NowNs() < deadline; ::usleep(20'000)) {
        std::string text = ReadLog(log);
        std::size_t at = text.find(kListening, std::min(earlier, text.size()));
        if (at != std::string::npos) {
            port_ = std::atoi(text.c_str() + at + std::string(kListening).size());
            return true;
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;   // it ended already
            break;
        }
    }
    std::string text = ReadLog(log);
    *error = "the server in " + folder + " did not start; its service log ends:\n" +
             text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
    Stop();
    return false;
}

bool LaunchedServer::Stop() {
    if (pid_ <= 0) return true;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (std::uint64_t deadline = NowNs() + ToNs(10); NowNs() < deadline; ::usleep(20'000)) {
        pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_ || ended < 0) {
            pid_ = -1;
            return ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return false;
}

} // namespace vserver::loadgen
