#pragma once
// Process ids for tests of what a process leaves behind: one of a process that has ended, one
// of a process that runs while the test does, and this process's own.

#include <string>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vserver::test {

#ifdef _WIN32
// A child held suspended from its start: it runs, as far as anyone else can tell, until
// Finish ends it and gives up its handles, after which its id names no process.
class RunningProcess {
public:
    RunningProcess() {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        char command[] = "cmd.exe /c exit 0";
        started_ = ::CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                    nullptr, nullptr, &startup, &info_) != 0;
    }
    ~RunningProcess() { Finish(); }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    std::string id() const { return std::to_string(info_.dwProcessId); }
    void Finish() {
        if (!started_) return;
        ::TerminateProcess(info_.hProcess, 0);
        ::WaitForSingleObject(info_.hProcess, INFINITE);
        ::CloseHandle(info_.hThread);
        ::CloseHandle(info_.hProcess);
        started_ = false;
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

inline std::string EndedProcessId() {
    RunningProcess child;
    std::string id = child.id();
    child.Finish();
    return id;
}

inline std::string OwnProcessId() { return std::to_string(::GetCurrentProcessId()); }
#else
inline std::string EndedProcessId() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return std::to_string(child);
}

// The process that started the tests runs for as long as they do.
struct RunningProcess {
    std::string id() const { return std::to_string(::getppid()); }
};

inline std::string OwnProcessId() { return std::to_string(::getpid()); }
#endif

} // namespace vserver::test
