#pragma once
// Starts the real server binary in a temporary installation folder of its own (a copy of the
// executable, its registry file, a master folder with Users) on a port the system chooses, and
// talks to it over TCP.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ToolProcess.h"
#include "client/ProtocolClient.h"
#include "support/TestFiles.h"

namespace vserver::test {

using namespace std::chrono_literals;

inline constexpr const char* kAppIdGuid = "{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}";

// The server under test is the Linux binary, or the Windows build run through a launcher
// (Wine) when VSERVER_TEST_SERVER_EXE names the .exe and VSERVER_TEST_LAUNCHER the launcher.
bool WindowsServer();
// Skips a test that has no meaning against the Windows server, saying why.
#define SKIP_FOR_WINDOWS_SERVER(reason)                                              \
    do {                                                                             \
        if (::vserver::test::WindowsServer()) GTEST_SKIP() << "Windows server: " << reason; \
    } while (false)
// A local path as the server under test names it: unchanged, or "Z:\..." for the Windows
// server, which sees the Linux file system as drive Z.
std::string ServerPath(const std::string& path);
// ServerPath in the text of a registry file, where a backslash is written twice.
std::string RegistryText(const std::string& path);
// A name the server created, as it lands on disk: UTF-8, which the Linux server writes itself
// and Wine makes of the Windows server's code page 1252.
std::string OnDiskName(const std::string& name);
// The file whose lock guards file for the server under test: the file itself for the Linux
// server; the Windows server cannot replace a file another handle holds open, so it locks a
// companion "<file>.lock" instead.
std::string LockedPath(const std::string& file);
// The launcher's environment check: empty when the server under test can be started, else why
// not (Wine without its prefix named would create one in the home folder).
std::string LauncherProblem();


struct ServerOptions {
    // Registry lines appended after the standard blocks (whole "[key]" blocks or value lines
    // for the last block); the standard file registers the program, sets MasterPath to the
    // master folder and PortNumber to 0.
    std::string extraRegistry;
    bool registered = true;             // write the AppID keys
    bool withLocalService = false;      // write "LocalService" (runs as a service)
    std::optional<std::string> portNumber = std::string("0");
    // MasterPath as stored instead of the master folder's path ("@" stands for the installation
    // folder); "" leaves the value out.
    std::optional<std::string> masterPath;
    bool createUsersFolder = true;
    bool withMasterPreferences = true;
    std::vector<std::string> arguments;
    // Set in the server's environment. VSERVER_SYSTEMD_UNIT_DIR and VSERVER_SYSTEMCTL default
    // to a missing folder and "false", so no test reaches the machine's service manager.
    std::map<std::string, std::string> environment;
    int openFileLimit = 0;              // RLIMIT_NOFILE for the server, 0 to inherit
    // Run the server as the unprivileged user "nobody" when the tests run as root, so that
    // permission bits bind it; the installation folder then belongs to that user.
    bool unprivileged = false;
    // When set, writes fail like on a full disk once files grow by about this many bytes: the
    // installation folder is a small tmpfs when the test may mount one (as root), else the
    // server runs under a file-size limit (RLIMIT_FSIZE) of this many bytes.
    std::size_t diskSpace = 0;
};

class ServerProcess {
public:
    explicit ServerProcess(ServerOptions options = {});
    ~ServerProcess();

    // Installs and starts the server, waits until it listens. False (with the service log in
    // failure()) when it does not come up.
    bool Start();
    // Starts without waiting for a listening port (for start-up failure tests).
    void Launch();
    // Waits for the previous run to end, then runs the installed executable again with other
    // arguments, leaving the folder (registry file, service log) as the previous run left it.
    void Relaunch(const std::vector<std::string>& arguments);
    // Relaunch, then wait until it listens, as Start does.
    bool Restart(const std::vector<std::string>& arguments = {});
    // Sends a signal and waits for the exit status; -1 on timeout.
    // The Windows server ends on SIGINT (a console Ctrl-C); SIGTERM would kill Wine outright,
    // so it is sent as SIGINT there.
    int Stop(int signal = 15, std::chrono::milliseconds timeout = 20s);
    int WaitExit(std::chrono::milliseconds timeout = 20s);
    bool running() const;

    int port() const { return port_; }
    int pid() const { return pid_; }
    const std::string& folder() const { return folder_.path(); }
    std::string installPath(const std::string& name) const { return folder_ / name; }
    // The installed executable (VServerService, or VServerService.exe for the Windows server).
    std::string executablePath() const;
    // Runs the installed executable once more as a separate process, through the launcher and
    // with the registry file named as Spawn does, and collects what it leaves.
    ToolRun RunInstalled(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {}) const;
    std::string usersFolder() const { return folder_ / "master/Users"; }
    std::string registryPath() const { return folder_ / "VServerService.reg"; }
    // The service log: beside the executable, or in VSERVER_LOG_FOLDER when the options set it.
    std::string ServiceLog() const;
    std::string StandardOutput() const;
    std::string StandardError() const;
    // The texts of the service log records (date and time removed), in order.
    std::vector<std::string> ServiceLogTexts() const;
    bool WaitForLogText(const std::string& text, std::chrono::milliseconds timeout = 10s) const;

    // A connection that has read and checked the greeting (31 A7 30 A7 BB 0A), made from the
    // local address from (the system's choice when empty) to the server's port at host.
    client::Connection Connect(const std::string& from = {}, const std::string& host = "127.0.0.1");
    // A connection that has not read anything yet.
    client::Connection ConnectRaw(const std::string& from = {}, const std::string& host = "127.0.0.1");

    std::string failure() const { return failure_; }
    // True when diskSpace gave the installation a small file system of its own.
    bool onSmallFileSystem() const { return mounted_; }

private:
    void InstallFiles();
    // Waits for the listening line of the run after the given number of earlier ones.
    bool WaitListening(std::size_t earlierRuns);
    std::vector<std::string> ListeningLines() const;
    void Spawn(std::vector<std::string> arguments);
    // The command line that starts the installed executable with arguments, and the
    // environment entries it needs beside options_.environment and extra.
    std::vector<std::string> CommandLine(const std::vector<std::string>& arguments) const;
    std::map<std::string, std::string> ServerEnvironment(const std::map<std::string, std::string>& extra) const;

    ServerOptions options_;
    TempFolder folder_;
    int pid_ = -1;
    int port_ = 0;
    int exitStatus_ = -1;
    bool mounted_ = false;
    std::string failure_;
};

// A start-up that failed as an administrator should see it: exit status 1, the fixed
// service-log text followed by one line naming the cause, and one line on standard error that
// holds the text and the cause. Every part of causeParts must appear in the cause.
void ExpectStartUpFailure(ServerProcess& server, const std::string& text, const std::vector<std::string>& causeParts);

// Sends request and returns the next message, or "" with a test failure on timeout.
std::string Exchange(client::Connection& connection, const client::Request& request,
                     std::chrono::milliseconds timeout = 10s);

// Runs work in a child process, beside the server and the test: the child exits with 0 when work
// returns, and with 1 after naming what stopped it (as "NAME stopped: WHY") when work throws.
// The child's process id.
int RunInChild(const char* name, const std::function<void()>& work);

// Bytes as hex, for readable assertion messages.
std::string Hex(std::string_view bytes);

// ASCII text as UTF-16LE bytes, as a version 5 registry export or a Unicode preference file
// holds it.
std::string Utf16(const std::string& text);

// How many lines of file (0 when it is missing) start with text; text may span lines.
int CountLinesStartingWith(const std::string& file, const std::string& text);

// Registry text that lets any connection send console requests, for tests that need no console
// logon.
inline const std::string kOpenConsole =
    "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"
    "\"AllowConsoleRequestsFromAnyConnection\"=\"True\"\r\n";

// The long-form completion of a request: "1", id, type, result.
inline std::string Completion(long long id, int type, const std::string& result) {
    return "1\xA7" + std::to_string(id) + "\xA7" + std::to_string(type) + "\xA7" + result;
}

} // namespace vserver::test
