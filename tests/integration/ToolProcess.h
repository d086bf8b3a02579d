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

} // namespace vserver::test
