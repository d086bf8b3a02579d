#include "ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace vserver::test {

std::string VserverctlPath() { return std::string(VSERVER_TOOLS_DIR) + "/vserverctl"; }
std::string LoadGeneratorPath() { return std::string(VSERVER_TOOLS_DIR) + "/vserver-load"; }

std::vector<std::string> VserverctlCommand() {
    const char* exe = std::getenv("VSERVER_TEST_CTL_EXE");
    if (exe == nullptr || *exe == '\0') return {VserverctlPath()};
    const char* launcher = std::getenv("VSERVER_TEST_LAUNCHER");
    return {launcher != nullptr && *launcher != '\0' ? launcher : "wine", exe};
}

namespace {

void DropCarriageReturns(std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') out += text[i];
    }
    text = std::move(out);
}

} // namespace

ToolRun RunVserverctl(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                      const std::string& input) {
    const std::vector<std::string> command = VserverctlCommand();
    std::vector<std::string> all(command.begin() + 1, command.end());
    all.insert(all.end(), arguments.begin(), arguments.end());
    ToolRun run;
    if (input.empty()) {
        run = RunTool(command[0], all, environment);
    } else {
        all.insert(all.begin(), {"-c", "cat \"$0\" | \"$@\"", input, command[0]});
        run = RunTool("sh", all, environment);
    }
    if (command.size() > 1) {
        DropCarriageReturns(run.out);
        DropCarriageReturns(run.err);
    }
    return run;
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, std::chrono::milliseconds timeout) {
    ToolRun run;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return run;
    auto started = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::unsetenv("VSERVER_REGISTRY");
        ::unsetenv("VSERVER_LOG_FOLDER");
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> copies = arguments;
        std::string path = program;
        std::vector<char*> argv{path.data()};
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        // A program without a folder (a launcher such as wine) is found on the PATH.
        ::execvp(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    bool killed = false;
    auto deadline = started + timeout;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    if (!killed) run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace vserver::test
