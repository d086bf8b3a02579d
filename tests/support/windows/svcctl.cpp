// A small service-manager client for the tests: sends a control code to a service, or prints
// its status or configuration, one "name=value" per line. The system's own sc under Wine
// cannot send arbitrary controls or show a service's configuration.
//
//   svcctl query NAME | svcctl control NAME CODE | svcctl config NAME
//
// Exit status 0 on success; otherwise the failed call and its error go to standard error.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Fail(const char* call) {
    std::fprintf(stderr, "svcctl: %s failed: error %lu\n", call, ::GetLastError());
    return 1;
}

void PrintStatus(const SERVICE_STATUS& status) {
    std::printf("type=%lu\nstate=%lu\naccepted=%lu\nexit=%lu\nspecific=%lu\ncheckpoint=%lu\nwaithint=%lu\n",
                status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted, status.dwWin32ExitCode,
                status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint);
}

int PrintConfig(SC_HANDLE service) {
    DWORD needed = 0;
    ::QueryServiceConfigA(service, nullptr, 0, &needed);
    std::string buffer(needed + 1, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!::QueryServiceConfigA(service, config, needed, &needed)) return Fail("QueryServiceConfigA");
    // The dependencies are a list of names, each ended by a NUL, the list by an empty name.
    // (Wine's manager leaves the list empty; its registry key for the service holds it.)
    std::string dependencies;
    for (const char* name = config->lpDependencies; name != nullptr && *name != '\0'; name += std::strlen(name) + 1) {
        if (!dependencies.empty()) dependencies += ',';
        dependencies += name;
    }
    std::printf("type=%lu\nstart=%lu\nerror=%lu\npath=%s\ndependencies=%s\naccount=%s\ndisplay=%s\n",
                config->dwServiceType, config->dwStartType, config->dwErrorControl,
                config->lpBinaryPathName ? config->lpBinaryPathName : "", dependencies.c_str(),
                config->lpServiceStartName ? config->lpServiceStartName : "",
                config->lpDisplayName ? config->lpDisplayName : "");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const bool control = argc == 4 && std::strcmp(argv[1], "control") == 0;
    if (!control && !(argc == 3 && (std::strcmp(argv[1], "query") == 0 || std::strcmp(argv[1], "config") == 0))) {
        std::fprintf(stderr, "usage: svcctl query NAME | svcctl control NAME CODE | svcctl config NAME\n");
        return 2;
    }
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return Fail("OpenSCManagerA");
    SC_HANDLE service = ::OpenServiceA(manager, argv[2], SERVICE_ALL_ACCESS);
    if (service == nullptr) return Fail("OpenServiceA");
    SERVICE_STATUS status{};
    int result = 0;
    if (control) {
        result = ::ControlService(service, static_cast<DWORD>(std::atoi(argv[3])), &status) ? 0 : Fail("ControlService");
        if (result == 0) PrintStatus(status);
    } else if (std::strcmp(argv[1], "query") == 0) {
        result = ::QueryServiceStatus(service, &status) ? 0 : Fail("QueryServiceStatus");
        if (result == 0) PrintStatus(status);
    } else {
        result = PrintConfig(service);
    }
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return result;
}
