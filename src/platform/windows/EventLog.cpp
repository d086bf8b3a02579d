#include "platform/EventLog.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "ServiceEvents.h"

namespace vserver::platform {

namespace {

// Whether anyone can see a window of this process: a service runs in a window station of its
// own that has no display, and a box there would wait for ever for a click.
bool HasVisibleDesktop() {
    HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (station == nullptr || !::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Lines end in a bare line feed, as on every other system; the C runtime's text mode would turn
// each into CR LF. Both streams switch before main runs, so that every writer (this file's and
// the start-up's own printf) is covered.
[[maybe_unused]] const bool kBinaryStandardStreams =
    (::_setmode(::_fileno(stdout), _O_BINARY), ::_setmode(::_fileno(stderr), _O_BINARY), true);

} // namespace

namespace {

// Each type of event has its message in the executable's message table, which shows the text
// as it is: the Event Viewer then shows the text alone, without a note that the description
// cannot be found.
void Report(const char* source, WORD type, DWORD message, std::string_view text) {
    HANDLE eventSource = ::RegisterEventSourceA(nullptr, source);
    if (eventSource == nullptr) return;
    std::string line(text);
    const char* strings[1] = {line.c_str()};
    ::ReportEventA(eventSource, type, 0, message, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(eventSource);
}

} // namespace

void ReportSystemEvent(const char* source, std::string_view text) {
    Report(source, EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_NOTICE, text);
}

void ReportSystemProblem(const char* source, SystemLogPriority priority, std::string_view text) {
    if (priority == SystemLogPriority::Error) {
        Report(source, EVENTLOG_ERROR_TYPE, MSG_SERVICE_FAILURE, text);
    } else {
        Report(source, EVENTLOG_WARNING_TYPE, MSG_SERVICE_WARNING, text);
    }
}

void ShowMessageBox(const char* caption, std::string_view text) {
    // The line also goes to standard error: an unattended install has no one to read the box.
    std::fprintf(stderr, "%s: %.*s\n", caption, static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
    if (!HasVisibleDesktop()) return;
    std::string line(text);
    ::MessageBoxA(nullptr, line.c_str(), caption, MB_OK);
}

void WriteStandardOutputLine(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace vserver::platform
