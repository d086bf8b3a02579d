#pragma once
// Runs one of the built command-line tools as a child process and collects what it leaves:
// its exit status and everything it wrote to standard output and standard error.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace vserver::test {

struct ToolRun {
    int exitStatus = -1;     // -1 when it had to be killed after the timeout
    std::string out;
    std::string err;
    std::chrono::milliseconds took{0};
};

// Runs program with arguments; environment entries are set for the child (VSERVER_REGISTRY and
// VSERVER_LOG_FOLDER are removed unless given).
ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment = {},
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The paths of the built tools.
std::string VserverctlPath();
std::string LoadGeneratorPath();

// The command that runs vserverctl: the Linux build, or the Windows build through its launcher
// when VSERVER_TEST_CTL_EXE names vserverctl.exe (VSERVER_TEST_LAUNCHER, default wine).
std::vector<std::string> VserverctlCommand();
// Runs that command with arguments as RunTool does; the CR LF line ends of the Windows build
// come back as LF. A non-empty input is a file that reaches its standard input through a pipe.
ToolRun RunVserverctl(const std::vector<std::string>& arguments,
                      const std::map<std::string, std::string>& environment = {}, const std::string& input = {});

} // namespace vserver::test
