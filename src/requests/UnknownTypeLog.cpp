#include "requests/UnknownTypeLog.h"

#include <string>

#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::requests {

namespace {

constexpr const char* kUnknownTypeLine = "Unknown incoming message type, unable to process";

} // namespace

UnknownTypeLog::~UnknownTypeLog() {
    for (auto& [index, window] : windows_) loop_.CancelTimer(window.timer);
}

void UnknownTypeLog::Record(int index) {
    auto [it, opened] = windows_.try_emplace(index);
    Window& window = it->second;
    if (opened) window.timer = loop_.AddTimer(kWindow, [this, index] { EndWindow(index); });
    if (window.written < kLinesPerWindow) {
        ++window.written;
        settings::WriteServiceLog(kUnknownTypeLine);
    } else {
        ++window.leftOut;
    }
}

void UnknownTypeLog::OnConnectionClosed(int index) {
    auto it = windows_.find(index);
    if (it == windows_.end()) return;
    loop_.CancelTimer(it->second.timer);
    EndWindow(index);
}

void UnknownTypeLog::EndWindow(int index) {
    auto it = windows_.find(index);
    if (it == windows_.end()) return;
    if (it->second.leftOut > 0) {
        std::string line = kUnknownTypeLine;
        line += " (";
        wire::AppendNumber(line, it->second.leftOut);
        line += " more from connection index ";
        wire::AppendNumber(line, index);
        line += " left out of the log)";
        settings::WriteServiceLog(line);
    }
    windows_.erase(it);
}

} // namespace vserver::requests
