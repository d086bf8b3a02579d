#include "accounts/RecordFile.h"

#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "platform/ProcessInfo.h"
#include "platform/RecordAppend.h"
#include "platform/TextCase.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

namespace {

// path with its folder part as stored (in any capitals), for creating the file there.
std::string PathForCreation(const std::string& path) {
    std::string_view folder = platform::FolderPartOf(path);
    if (folder.empty()) return path;
    auto stored = platform::ResolveExisting(folder);
    if (!stored) return path;
    std::string out = *stored;
    if (out.back() != platform::kPathSeparator) out.push_back(platform::kPathSeparator);
    out.append(platform::LastComponentOf(path));
    return out;
}

platform::SysResult Append(const std::string& path, std::string_view text, platform::AppendOpen how,
                          platform::UnsyncedWrite* unsynced) {
    if (unsynced == nullptr) return platform::AppendNulTerminated(path, text, how);
    return platform::AppendNulTerminatedUnsynced(path, text, how, platform::LockWait::Bounded, *unsynced);
}

bool AppendToNewFile(std::string_view text, const std::string& path, std::string* failure,
                     platform::UnsyncedWrite* unsynced) {
    if (Append(PathForCreation(path), text, platform::AppendOpen::CreateIfMissing, unsynced)) {
        return true;
    }
    *failure = "Unable to create file: " + path;
    return false;
}

// The append itself; a failure's service-log line goes to *failure (empty when there is none).
bool Store(std::string_view text, const std::string& path, std::string* failure, platform::UnsyncedWrite* unsynced) {
    failure->clear();
    auto found = platform::FindEntry(path);
    if (!found) return AppendToNewFile(text, path, failure, unsynced);

    std::string upperPath = platform::UpperCase(path);
    std::string fullPath = platform::FullPathForm(platform::FolderPartOf(path));
    if (fullPath.back() != platform::kPathSeparator) fullPath.push_back(platform::kPathSeparator);
    fullPath.append(platform::LastComponentOf(found->path));
    if (platform::UpperCase(fullPath) == upperPath && found->readOnly && !platform::ClearReadOnly(found->path)) {
        return false;
    }
    // The append goes to the name just found, so the path is not looked up again.
    if (!Append(found->path, text, platform::AppendOpen::ExistingOnly, unsynced)) {
        *failure = "Unable to open file: " + upperPath;
        return false;
    }
    return true;
}

} // namespace

bool AppendRecord(std::string_view text, const std::string& path, platform::UnsyncedWrite* unsynced) {
    std::string failure;
    if (Store(text, path, &failure, unsynced)) return true;
    if (!failure.empty()) settings::WriteServiceLog(failure);
    return false;
}

bool AppendRecord(std::string_view text, const std::string& path, std::string* failure) {
    return Store(text, path, failure, nullptr);
}

} // namespace vserver::accounts
