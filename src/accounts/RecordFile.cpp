#include "accounts/RecordFile.h"

#include <vector>

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

bool AppendToNewFile(std::string_view text, const std::string& path) {
    if (platform::AppendNulTerminated(PathForCreation(path), text, platform::AppendOpen::CreateIfMissing)) {
        return true;
    }
    settings::WriteServiceLog("Unable to create file: " + path);
    return false;
}

} // namespace

bool AppendRecord(std::string_view text, const std::string& path) {
    std::vector<platform::DirectoryEntry> found;
    if (!platform::FindEntries(path, found) || found.empty()) return AppendToNewFile(text, path);

    std::string upperPath = platform::UpperCase(path);
    std::string fullPath = platform::FullPathForm(platform::FolderPartOf(path));
    if (fullPath.back() != platform::kPathSeparator) fullPath.push_back(platform::kPathSeparator);
    fullPath.append(found.front().name);
    bool readOnly = false;
    if (platform::UpperCase(fullPath) == upperPath && platform::IsReadOnly(path, readOnly) && readOnly &&
        !platform::ClearReadOnly(path)) {
        return false;
    }
    auto stored = platform::ResolveExisting(path);
    if (!stored || !platform::AppendNulTerminated(*stored, text, platform::AppendOpen::ExistingOnly)) {
        settings::WriteServiceLog("Unable to open file: " + upperPath);
        return false;
    }
    return true;
}

} // namespace vserver::accounts
