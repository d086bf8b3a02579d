#include "platform/common/SyncTrace.h"

#include <cstdio>
#include <cstdlib>

#include "platform/common/PathText.h"

namespace vserver::platform {

SyncTrace::SyncTrace() {
    const char* path = std::getenv("VSERVER_SYNC_TRACE");
    if (path != nullptr && *path != '\0') path_ = path;
}

void SyncTrace::Describe(const UnsyncedWrite& write, const SysResult& result, std::string& lines) {
    lines.append(result ? "synced " : "failed ").append(write.target).push_back('\n');
    if (result && write.syncFolder) lines.append("synced folder ").append(FolderPartOf(write.target)).push_back('\n');
}

void SyncTrace::Append(const std::string& lines) const {
    if (path_.empty() || lines.empty()) return;
    std::FILE* file = std::fopen(path_.c_str(), "ab");
    if (file == nullptr) return;
    (void)std::fwrite(lines.data(), 1, lines.size(), file);
    (void)std::fclose(file);
}

} // namespace vserver::platform
