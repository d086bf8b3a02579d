#include "accounts/FolderRemoval.h"

#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

namespace {

void Log(std::string_view message, const std::string& path) {
    std::string line(message);
    line.append(path);
    settings::WriteServiceLog(line);
}

// Clears the read-only attribute of target when it is set. An attribute that cannot even be
// read counts as one that cannot be cleared.
bool MakeWritable(const std::string& target) {
    bool readOnly = false;
    if (!platform::IsReadOnly(target, readOnly)) return false;
    return !readOnly || platform::ClearReadOnly(target).ok();
}

bool IsLink(const std::string& path) {
    std::vector<platform::DirectoryEntry> self;
    return platform::FindEntries(path, self).ok() && !self.empty() && self.front().isLink;
}

bool RemoveEntry(const std::string& folder, const platform::DirectoryEntry& entry) {
    std::string full = folder + platform::kPathSeparator + entry.name;
    if (!entry.isLink) {
        if (!MakeWritable(full)) {
            Log("Unable to remove read-only bit from path: ", folder);
            return false;
        }
        if (entry.isFolder) return RemoveFolderTree(full);
    }
    if (!platform::RemoveFile(full)) {
        Log("Unable to delete path: ", full);
        return false;
    }
    return true;
}

} // namespace

bool RemoveFolderTree(const std::string& path) {
    // A home folder that is a link to a folder elsewhere loses the link, not the folder's
    // content, which belongs to somebody else.
    if (IsLink(path)) {
        if (platform::RemoveFile(path)) return true;
        Log("Unable to delete path: ", path);
        return false;
    }
    if (!MakeWritable(path)) {
        Log("Unable to remove read-only bit from path: ", path);
        return false;
    }
    std::vector<platform::DirectoryEntry> entries;
    (void)platform::FindEntries(path + platform::kPathSeparator + "*", entries);
    for (const auto& entry : entries) {
        if (!RemoveEntry(path, entry)) return false;
    }
    if (!platform::RemoveFolder(path)) {
        Log("Unable to delete path: ", path);
        return false;
    }
    return true;
}

} // namespace vserver::accounts
