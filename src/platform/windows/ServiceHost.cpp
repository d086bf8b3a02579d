// The service control manager's hand-over: the dispatcher takes the main thread and runs the
// service on a thread of its own; controls arrive on yet another thread, so whatever the
// handler does must be safe from any thread.

#include "platform/ServiceHost.h"

#include <windows.h>

#include <mutex>

#include "ServiceControlEntry.h"
#include "Win32Error.h"

namespace vserver::platform {

namespace {

// One service per process: the dispatcher's entry points take no context, so the service's
// entry and handler live here.
struct Hosted {
    std::string name;
    const std::function<void()>* entry = nullptr;
    HANDLE entryDone = nullptr;
    std::mutex lock;
    std::function<void(int)> handler;
    SERVICE_STATUS_HANDLE status = nullptr;
};

Hosted& hosted() {
    static Hosted instance;
    return instance;
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    std::function<void(int)> handler;
    {
        std::lock_guard<std::mutex> guard(hosted().lock);
        handler = hosted().handler;
    }
    if (handler) handler(static_cast<int>(control));
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    (*hosted().entry)();
    ::SetEvent(hosted().entryDone);
}

constexpr DWORD kAcceptedWhileRunning = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;

} // namespace

namespace backend {

ServiceControlEntry ServiceControlEntryForTests() { return &OnControl; }

} // namespace backend

bool RunUnderServiceManager(const std::string& name, const std::function<void()>& entry) {
    Hosted& h = hosted();
    h.name = name;
    h.entry = &entry;
    h.entryDone = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h.entryDone == nullptr) return false;
    SERVICE_TABLE_ENTRYA table[] = {{h.name.data(), &ServiceMain}, {nullptr, nullptr}};
    // Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was started by hand.
    const bool dispatched = ::StartServiceCtrlDispatcherA(table) != 0;
    // The dispatcher returns as soon as the service reports that it stopped, which can be
    // before the service's own thread has finished its last report: wait for it.
    if (dispatched) ::WaitForSingleObject(h.entryDone, INFINITE);
    ::CloseHandle(h.entryDone);
    h.entryDone = nullptr;
    h.entry = nullptr;
    return dispatched;
}

struct ServiceHost::State {};

ServiceHost::ServiceHost() : state_(std::make_unique<State>()) {}

ServiceHost::~ServiceHost() {
    std::lock_guard<std::mutex> guard(hosted().lock);
    hosted().handler = nullptr;
}

bool StartedByServiceManager() {
    std::lock_guard<std::mutex> guard(hosted().lock);
    return hosted().status != nullptr;
}

std::string ServiceManagerChannel() { return "the service control manager"; }

SysResult ServiceHost::RegisterControlHandler(const std::string& name, std::function<void(int)> handler) {
    {
        std::lock_guard<std::mutex> guard(hosted().lock);
        hosted().handler = std::move(handler);
    }
    SERVICE_STATUS_HANDLE status = ::RegisterServiceCtrlHandlerExA(name.c_str(), &OnControl, nullptr);
    std::lock_guard<std::mutex> guard(hosted().lock);
    hosted().status = status;
    return status != nullptr ? SysResult::Ok() : LastWin32Failure("RegisterServiceCtrlHandlerExA");
}

void ServiceHost::ReportState(ServiceStatus state) {
    SERVICE_STATUS_HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(hosted().lock);
        handle = hosted().status;
    }
    if (handle == nullptr) return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = static_cast<DWORD>(state);
    // A stop is taken only while the service runs: during the start the server cannot end
    // its loop yet, and the manager refuses the request instead of it being lost. The system's
    // shutdown is taken as a stop; the notice before it (pre-shutdown) comes first where the
    // system has one, and gives the service more time than the shutdown notice does.
    status.dwControlsAccepted = state == ServiceStatus::Running ? kAcceptedWhileRunning : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    ::SetServiceStatus(handle, &status);
}

// The service control manager keeps a state and no line of text.
bool ServiceHost::ShowsStatusText() const { return false; }

bool ServiceHost::ReportStatusText(std::string_view) { return false; }

} // namespace vserver::platform
